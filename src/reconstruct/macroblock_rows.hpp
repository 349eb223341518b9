#pragma once

#include "syntax/frame_syntax_reader.hpp"

// Where a macroblock's rows lie in a plane of its picture. In an MBAFF frame (a frame of
// macroblock pairs, 7.3.4) a field macroblock takes every other line of its pair's: the top
// macroblock the even lines, the bottom one the odd lines; a frame macroblock of a pair, and
// every macroblock elsewhere, takes consecutive lines.
struct MacroblockRows {
    MacroblockRows() = default;
    MacroblockRows(int row, bool mbaff, const MbSyntaxRecord& mb) : mb_y(row), field_pair(mbaff && mb.interlaced) {}

    int mb_y = 0;
    bool field_pair = false;

    // The plane line of the macroblock's row 0, in a plane whose macroblocks are `height` lines tall.
    int first(int height) const {
        return field_pair ? (mb_y / 2) * 2 * height + mb_y % 2 : mb_y * height;
    }
    // From one of the macroblock's rows to the next, in lines.
    int step() const { return field_pair ? 2 : 1; }
    // The index of sample (x, y) of the macroblock at column `mb_x` in a plane `stride` samples
    // wide whose macroblocks are `width` x `height` samples.
    std::size_t sample(int stride, int width, int height, int mb_x, int x, int y) const {
        return static_cast<std::size_t>(first(height) + step() * y) * stride + width * mb_x + x;
    }
};

// The grid place (column, row) of the macroblock decoded `address`-th: in an MBAFF frame
// pairs in raster order, the top macroblock of each before its bottom one (6.4.1).
struct GridPlace {
    int mb_x;
    int mb_y;
};
GridPlace decoding_place(std::size_t address, int cols, bool mbaff);

// Whether the frame's pictures are frames of macroblock pairs.
bool is_mbaff_frame(const FrameSyntax& syntax);

// Of an MBAFF frame, whether each of its macroblocks is a field macroblock, in the rows of the
// grid; empty for other pictures.
std::vector<uint8_t> field_macroblocks(const FrameSyntax& syntax);

// The index in the picture's coded records of the macroblock that holds luma sample (x, line)
// of the picture once its pair is decoded.
std::size_t macroblock_holding(const FrameSyntax& syntax, bool mbaff, int x, int line);

// The 4x4 block beside a macroblock that holds its luma sample (x, y) (x, y from -1; 6.4.12):
// the sample beside the macroblock's rows in the picture, as for intra prediction. `cell` is
// -1 outside the picture and where that macroblock is not decoded before this one; else
// the macroblock's index in the coded records, and the block's place on the grid of blocks.
struct BesideBlock {
    std::ptrdiff_t cell = -1;
    int block_x = 0;
    int block_y = 0;
};
BesideBlock block_beside(const FrameSyntax& syntax, bool mbaff, int mb_x, const MacroblockRows& rows, int x, int y);

// The same in a picture of macroblocks in raster order (no MBAFF) `cols` macroblocks wide:
// inline, for the motion field asks it a dozen times a macroblock.
inline BesideBlock block_beside_in_raster(int cols, int mb_x, int mb_y, int x, int y) {
    const int sample_x = 16 * mb_x + x;
    const int line = 16 * mb_y + y;
    if (sample_x < 0 || line < 0 || sample_x >= 16 * cols) {
        return {};
    }
    // One decoded before this one is above it or left of it; nothing below it is.
    const int other_x = sample_x / 16;
    const int other_y = line / 16;
    if (other_y > mb_y || (other_y == mb_y && other_x >= mb_x)) {
        return {};
    }
    return {static_cast<std::ptrdiff_t>(other_y) * cols + other_x, sample_x / 4, line / 4};
}
