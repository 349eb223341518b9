#pragma once

#include <cstdint>
#include <vector>

#include "syntax/mb_syntax_record.hpp"
#include "syntax/slice_syntax_header.hpp"

// What the macroblocks after a macroblock read of it, beside its record: the coefficient
// counts that choose CAVLC's coeff_token tables and CABAC's coded_block_flags.
struct MbNeighbourState {
    // TotalCoeff(coeff_token) of each 4x4 block in raster order: luma (or Y), then Cb and
    // Cr (4:2:0 uses 4 blocks of each, 4:2:2 8, 4:4:4 16).
    uint8_t total_coeff[3][16];
    // coded_block_flag of the same blocks (bit 4 * row + column, two columns for chroma of
    // 4:2:0 and 4:2:2), and bit 16 that of the plane's DC block; every bit of an I_PCM
    // macroblock, and the four of an 8x8 block whose flag is not coded but inferred.
    uint32_t coded[3];
};

// The quantised levels of a picture, each plane at its coded size, row-major.
struct CoefficientPlanes {
    int width[3] = {0, 0, 0};
    int height[3] = {0, 0, 0};
    std::vector<int32_t> planes[3];

    // Clears the planes for a picture of that size. Most blocks of a picture code no level:
    // where the size is the last picture's, only the blocks written since are cleared.
    void reset(int width_mbs, int height_mbs, int chroma_format);
    int32_t* at(int plane, int x, int y) { return &planes[plane][static_cast<std::size_t>(y) * width[plane] + x]; }
    // Records a block of `columns` × `rows` levels, rows `stride` apart, about to be written
    // from `origin` on.
    void note_written(int plane, const int32_t* origin, int stride, int columns, int rows);
    // Whether a block of levels (not a DC placed alone) may have been written with its top
    // left level at `offset` in the plane: where not, its levels are zero but for such a DC.
    // True throughout for planes made otherwise than by reading a picture (a field's).
    bool may_hold_block(int plane, std::size_t offset) const {
        return blocks_[plane].empty() || blocks_[plane][offset / 4] != 0;
    }

private:
    // By plane, a flag for each 4 levels of a row: set at a written block's top left.
    std::vector<uint8_t> blocks_[3];
    struct WrittenBlock {
        std::size_t offset;
        int stride;
        int plane;
        int columns;
        int rows;
    };
    std::vector<WrittenBlock> written_;
};

// The records of every macroblock of one picture (a frame, or both fields of one) by address
// in the coded grid, and the state neighbours read. Reused from picture to picture: nothing is
// allocated per macroblock.
struct PictureGrid {
    int width_mbs = 0;
    int height_mbs = 0;
    std::vector<MbSyntaxRecord> records;
    std::vector<MbNeighbourState> states;
    // The header of each slice parsed, by the number its macroblocks' records carry; their
    // parameter-set pointers are the parser's and are not to be followed.
    std::vector<SliceSyntaxHeader> slices;
    // Where asked for; else null, and the levels are read and dropped.
    CoefficientPlanes* coefficients = nullptr;
    // The nonzero levels read of every residual block (DC blocks too) of the picture so far.
    int64_t nonzero_levels = 0;

    void reset(int width, int height);
};
