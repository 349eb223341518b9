#include "reconstruct/macroblock_rows.hpp"

#include <cstddef>

#include "reconstruct/field_pictures.hpp"

bool is_mbaff_frame(const FrameSyntax& syntax) {
    return syntax.sequence.mb_adaptive_frame_field && !holds_fields(syntax);
}

std::vector<uint8_t> field_macroblocks(const FrameSyntax& syntax) {
    std::vector<uint8_t> flags;
    if (is_mbaff_frame(syntax)) {
        for (const MbSyntaxRecord& mb : syntax.coded_records) {
            flags.push_back(mb.interlaced);
        }
    }
    return flags;
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

BesideBlock block_beside(const FrameSyntax& syntax, bool mbaff, int mb_x, const MacroblockRows& rows, int x, int y) {
    const int rows_of_mbs = static_cast<int>(syntax.coded_records.size()) / syntax.coded_cols;
    const int sample_x = 16 * mb_x + x;
    const int line = rows.first(16) + rows.step() * y;
    BesideBlock beside;
    if (sample_x < 0 || line < 0 || sample_x >= 16 * syntax.coded_cols || line >= 16 * rows_of_mbs) {
        return beside;
    }
    if (!mbaff) {
        return block_beside_in_raster(syntax.coded_cols, mb_x, rows.mb_y, x, y);
    }
    const std::size_t cell = macroblock_holding(syntax, mbaff, sample_x, line);
    const auto cols = static_cast<std::size_t>(syntax.coded_cols);
    const int other_x = static_cast<int>(cell % cols);
    const int other_y = static_cast<int>(cell / cols);
    // Pairs are decoded in raster order, the top macroblock first; progressive macroblocks likewise.
    const auto order = [&](int column, int row) {
        return mbaff ? 2 * ((row / 2) * syntax.coded_cols + column) + row % 2 : row * syntax.coded_cols + column;
    };
    if (order(other_x, other_y) >= order(mb_x, rows.mb_y)) {
        return beside;
    }
    const MacroblockRows other(other_y, mbaff, syntax.coded_records[cell]);
    const int row = (line - other.first(16)) / other.step();
    return {static_cast<std::ptrdiff_t>(cell), 4 * other_x + (sample_x % 16) / 4, 4 * other_y + row / 4};
}
