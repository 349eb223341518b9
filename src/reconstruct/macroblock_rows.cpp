#include "reconstruct/macroblock_rows.hpp"

#include "reconstruct/field_pictures.hpp"

bool is_mbaff_frame(const FrameSyntax& syntax) {
    return syntax.sequence.mb_adaptive_frame_field && !holds_fields(syntax);
}

GridPlace decoding_place(std::size_t address, int cols, bool mbaff) {
    const auto columns = static_cast<std::size_t>(cols);
    if (!mbaff) {
        return {static_cast<int>(address % columns), static_cast<int>(address / columns)};
    }
    const std::size_t pair = address / 2;
    return {static_cast<int>(pair % columns), static_cast<int>(2 * (pair / columns) + address % 2)};
}

std::size_t macroblock_holding(const FrameSyntax& syntax, bool mbaff, int x, int line) {
    const auto cols = static_cast<std::size_t>(syntax.coded_cols);
    const auto column = static_cast<std::size_t>(x / 16);
    if (!mbaff) {
        return static_cast<std::size_t>(line / 16) * cols + column;
    }
    // A pair is 32 lines; its top macroblock's record says whether it is a field pair.
    const auto top_row = static_cast<std::size_t>(2 * (line / 32));
    const bool field = syntax.coded_records[top_row * cols + column].interlaced != 0;
    const bool bottom = field ? line % 2 == 1 : line % 32 >= 16;
    return (top_row + (bottom ? 1 : 0)) * cols + column;
}
