#include <stdexcept>

#include "reconstruct/field_pictures.hpp"
#include "reconstruct/macroblock_rows.hpp"
#include "reconstruct/motion_field.hpp"

std::size_t motion_field_blocks(const FrameSyntax& syntax) {
    if (syntax.coded_records.empty() || syntax.coded_cols == 0) {
        throw std::runtime_error("The frame's syntax could not be read: no motion field");
    }
    return syntax.coded_records.size() * 16;
}

void build_motion_field(const FrameSyntax& syntax, const SyntaxSource& source, MotionRecord* field,
                        MotionFieldMemo* memo) {
    const std::size_t blocks = motion_field_blocks(syntax);
    const bool fields = holds_fields(syntax);
    if (!fields) {
        build_picture_motion_field(syntax, source, field, memo);
        return;
    }
    std::fill_n(field, blocks, MotionRecord{});
    // In decoding order: the second field's direct blocks may take the first's motion.
    const int first = first_field_parity(syntax);
    std::vector<MotionRecord> first_motion(blocks / 2);
    std::vector<MotionRecord> second_motion(blocks / 2);
    build_picture_motion_field(field_syntax(syntax, first), source, first_motion.data(), memo);
    build_picture_motion_field(field_syntax(syntax, 1 - first), source, second_motion.data(), memo, &first_motion);
    place_field_motion(first_motion, first, syntax.coded_cols, field);
    place_field_motion(second_motion, 1 - first, syntax.coded_cols, field);
}

int first_field_parity(const FrameSyntax& syntax) {
    return !syntax.slices.empty() && syntax.slices.front().bottom_field ? 1 : 0;
}
