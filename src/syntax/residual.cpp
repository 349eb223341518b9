#include "syntax/slice_parser.hpp"

#include <algorithm>

#include "h264/scan_tables.hpp"
#include "syntax/residual_block_cavlc.hpp"
#include "syntax/syntax_error.hpp"

namespace {

// luma4x4BlkIdx -> the block's column and row in the macroblock.
constexpr uint8_t kBlockX[16] = {0, 1, 0, 1, 2, 3, 2, 3, 0, 1, 0, 1, 2, 3, 2, 3};
constexpr uint8_t kBlockY[16] = {0, 0, 1, 1, 0, 0, 1, 1, 2, 2, 3, 3, 2, 2, 3, 3};
// 4:2:2 chroma DC: the position in the 2x4 array (raster, two a row) of each level in the
// order coded (8.5.11.1).
constexpr uint8_t kChroma422DcCells[8] = {0, 2, 1, 4, 6, 3, 5, 7};
constexpr uint8_t kChroma420DcCells[4] = {0, 1, 2, 3};

}  // namespace

void SliceParser::residual(int start, int end) {
    residual_luma(0, start, end);
    if (chroma_array_type_ == 1 || chroma_array_type_ == 2) {
        residual_chroma(start, end);
    } else if (chroma_array_type_ == 3) {
        residual_luma(1, start, end);
        residual_luma(2, start, end);
    }
}

void SliceParser::residual_luma(int plane, int start, int end) {
    const uint8_t* scan = kZigZag4x4;
    if (start == 0 && info_.kind == kI16x16) {
        int32_t levels[16] = {};
        residual_block_cavlc(reader_, levels, 0, 15, 16, luma_nC(plane, 0, 0));
        place_dc(plane, levels, 4, 4, scan);
    }
    const bool ac_only = info_.kind == kI16x16;
    for (int i8x8 = 0; i8x8 < 4; ++i8x8) {
        int32_t levels_8x8[64] = {};
        for (int i4x4 = 0; i4x4 < 4; ++i4x4) {
            const int block = 4 * i8x8 + i4x4;
            const int x = kBlockX[block];
            const int y = kBlockY[block];
            int32_t levels[16] = {};
            int count = 0;
            if (cbp_luma_ & (1 << i8x8)) {
                count = ac_only ? residual_block_cavlc(reader_, levels + 1, std::max(0, start - 1), end - 1, 15,
                                                       luma_nC(plane, x, y))
                                : residual_block_cavlc(reader_, levels, start, end, 16, luma_nC(plane, x, y));
            }
            state_->total_coeff[plane][y * 4 + x] = static_cast<uint8_t>(count);
            if (mb_->transform_8x8) {
                for (int i = 0; i < 16; ++i) {
                    levels_8x8[4 * i + i4x4] = levels[i];
                }
            } else if (count > 0) {
                place_4x4(plane, x, y, levels, ac_only ? 1 : 0, 16);
            }
        }
        if (mb_->transform_8x8) {
            place_8x8(plane, 2 * (i8x8 % 2), 2 * (i8x8 / 2), levels_8x8);
        }
    }
}

void SliceParser::residual_chroma(int start, int end) {
    const int blocks = 4 * chroma_array_type_;  // 4 for 4:2:0, 8 for 4:2:2
    if ((cbp_chroma_ & 3) && start == 0) {
        for (int component = 0; component < 2; ++component) {
            int32_t levels[8] = {};
            residual_block_cavlc(reader_, levels, 0, blocks - 1, blocks, chroma_array_type_ == 1 ? -1 : -2);
            place_dc(1 + component, levels, 2, blocks / 2,
                     chroma_array_type_ == 1 ? kChroma420DcCells : kChroma422DcCells);
        }
    }
    for (int component = 0; component < 2; ++component) {
        for (int block = 0; block < blocks; ++block) {
            if (!(cbp_chroma_ & 2)) {
                continue;
            }
            const int x = block % 2;
            const int y = block / 2;
            int32_t levels[16] = {};
            const int count = residual_block_cavlc(reader_, levels + 1, std::max(0, start - 1), end - 1, 15,
                                                   chroma_nC(component, x, y));
            state_->total_coeff[1 + component][block] = static_cast<uint8_t>(count);
            if (count > 0) {
                place_4x4(1 + component, x, y, levels, 1, 16);
            }
        }
    }
}

// nC from the coefficient counts of the blocks to the left and above (9.2.1).
int SliceParser::luma_nC(int plane, int x, int y) const {
    const MbNeighbourState* a = x > 0 ? state_ : left_ ? state_ - 1 : nullptr;
    const MbNeighbourState* b = y > 0 ? state_ : above_ ? state_ - grid_.width_mbs : nullptr;
    const int n_a = a ? a->total_coeff[plane][y * 4 + (x + 3) % 4] : 0;
    const int n_b = b ? b->total_coeff[plane][((y + 3) % 4) * 4 + x] : 0;
    return a && b ? (n_a + n_b + 1) >> 1 : n_a + n_b;
}

int SliceParser::chroma_nC(int component, int x, int y) const {
    const int rows = 2 * chroma_array_type_;
    const MbNeighbourState* a = x > 0 ? state_ : left_ ? state_ - 1 : nullptr;
    const MbNeighbourState* b = y > 0 ? state_ : above_ ? state_ - grid_.width_mbs : nullptr;
    const int n_a = a ? a->total_coeff[1 + component][y * 2 + (x + 1) % 2] : 0;
    const int n_b = b ? b->total_coeff[1 + component][((y + rows - 1) % rows) * 2 + x] : 0;
    return a && b ? (n_a + n_b + 1) >> 1 : n_a + n_b;
}

void SliceParser::place_4x4(int plane, int block_x, int block_y, const int32_t* levels, int first, int count) {
    CoefficientPlanes* planes = grid_.coefficients;
    if (planes == nullptr) {
        return;
    }
    const int size = plane == 0 || chroma_array_type_ == 3 ? 16 : 8;
    const int height = plane == 0 || chroma_array_type_ != 1 ? 16 : 8;
    int32_t* origin = planes->at(plane, mb_x_ * size + 4 * block_x, mb_y_ * height + 4 * block_y);
    for (int i = first; i < count; ++i) {
        const int cell = kZigZag4x4[i];
        origin[(cell / 4) * planes->width[plane] + cell % 4] = levels[i];
    }
}

void SliceParser::place_8x8(int plane, int block_x, int block_y, const int32_t* levels) {
    CoefficientPlanes* planes = grid_.coefficients;
    if (planes == nullptr) {
        return;
    }
    int32_t* origin = planes->at(plane, mb_x_ * 16 + 4 * block_x, mb_y_ * 16 + 4 * block_y);
    for (int i = 0; i < 64; ++i) {
        const int cell = kZigZag8x8[i];
        origin[(cell / 8) * planes->width[plane] + cell % 8] = levels[i];
    }
}

// Levels coded apart from their blocks (Intra 16x16 luma DC, chroma DC) at each block's [0, 0].
void SliceParser::place_dc(int plane, const int32_t* levels, int columns, int rows, const uint8_t* scan) {
    CoefficientPlanes* planes = grid_.coefficients;
    if (planes == nullptr) {
        return;
    }
    const int size = plane == 0 || chroma_array_type_ == 3 ? 16 : 8;
    const int height = plane == 0 || chroma_array_type_ != 1 ? 16 : 8;
    for (int i = 0; i < columns * rows; ++i) {
        const int cell = scan[i];
        *planes->at(plane, mb_x_ * size + 4 * (cell % columns), mb_y_ * height + 4 * (cell / columns)) = levels[i];
    }
}
