#include <stdexcept>

#include "reconstruct/field_pictures.hpp"
#include "reconstruct/macroblock_rows.hpp"
#include "reconstruct/motion_field.hpp"

void build_motion_field(const FrameSyntax& syntax, const SyntaxSource& source, std::vector<MotionRecord>& field,
                        MotionFieldMemo* memo) {
    if (syntax.coded_records.empty() || syntax.coded_cols == 0) {
        throw std::runtime_error("The frame's syntax could not be read: no motion field");
    }
    const bool fields = holds_fields(syntax);
    if (!fields) {
        build_picture_motion_field(syntax, source, field, memo);
        return;
    }
    field.assign(syntax.coded_records.size() * 16, MotionRecord{});
    std::vector<MotionRecord> one_field;
    for (int parity = 0; parity < 2; ++parity) {
        build_picture_motion_field(field_syntax(syntax, parity), source, one_field, memo);
        place_field_motion(one_field, parity, syntax.coded_cols, field);
    }
}
