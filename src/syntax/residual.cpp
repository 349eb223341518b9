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

// One block of luma (or of Cb or Cr coded like luma); `x`, `y` its 4x4 block, `cat` its
// ctxBlockCat for luma (0, 1, 2, 5), which Cb and Cr move by 6 and 10.
int SliceParser::luma_block(int plane, int32_t* levels, int start, int end, int max_coeff, int x, int y, int cat) {
    if (!cabac_) {
        return counted(residual_block_cavlc(reader_, levels, start, end, max_coeff, luma_nC(plane, x, y)));
    }
    const bool dc = cat == 0;
    const bool block_8x8 = cat == 5;
    const int plane_cat = plane == 0 ? cat : (cat == 5 ? 3 : cat) + (plane == 1 ? 6 : 10);
    return counted(cabac_->residual_block(levels, start, end, max_coeff, plane_cat,
                                          coded_block_flag_inc(plane, x, y, 4, 4, dc, block_8x8),
                                          mb_->interlaced != 0, chroma_array_type_ == 3, 1));
}

int SliceParser::counted(int nonzero_levels) {
    grid_.nonzero_levels += nonzero_levels;
    return nonzero_levels;
}

void SliceParser::residual_luma(int plane, int start, int end) {
    if (start == 0 && info_.kind == kI16x16) {
        int32_t levels[16] = {};
        if (luma_block(plane, levels, 0, 15, 16, 0, 0, 0) > 0) {
            state_->coded[plane] |= 1u << 16;
        }
        place_dc(plane, levels, 4, 4, mb_->interlaced ? kFieldScan4x4 : kZigZag4x4);
    }
    const bool ac_only = info_.kind == kI16x16;
    const bool cabac_8x8 = mb_->transform_8x8 && cabac_;
    for (int i8x8 = 0; i8x8 < 4; ++i8x8) {
        int32_t levels_8x8[64] = {};
        const bool coded = cbp_luma_ & (1 << i8x8);
        const int x8 = 2 * (i8x8 % 2);
        const int y8 = 2 * (i8x8 / 2);
        if (cabac_8x8) {
            const int count = coded ? luma_block(plane, levels_8x8, 4 * start, 4 * end + 3, 64, x8, y8, 5) : 0;
            // Outside 4:4:4 the flag of an 8x8 block is not coded but taken as 1.
            const bool flag = chroma_array_type_ == 3 ? count > 0 : coded;
            const uint32_t bits = (3u << (y8 * 4 + x8)) | (3u << ((y8 + 1) * 4 + x8));
            state_->coded[plane] |= flag ? bits : 0;
            place_8x8(plane, x8, y8, levels_8x8);
            continue;
        }
        for (int i4x4 = 0; i4x4 < 4; ++i4x4) {
            const int block = 4 * i8x8 + i4x4;
            const int x = kBlockX[block];
            const int y = kBlockY[block];
            int32_t levels[16] = {};
            int count = 0;
            if (coded) {
                count = ac_only ? luma_block(plane, levels + 1, std::max(0, start - 1), end - 1, 15, x, y, 1)
                                : luma_block(plane, levels, start, end, 16, x, y, 2);
            }
            state_->total_coeff[plane][y * 4 + x] = static_cast<uint8_t>(count);
            state_->coded[plane] |= count > 0 ? 1u << (y * 4 + x) : 0;
            if (mb_->transform_8x8) {
                for (int i = 0; i < 16; ++i) {
                    levels_8x8[4 * i + i4x4] = levels[i];
                }
            } else if (count > 0) {
                place_4x4(plane, x, y, levels, ac_only ? 1 : 0, 16);
            }
        }
        if (mb_->transform_8x8) {
            place_8x8(plane, x8, y8, levels_8x8);
        }
    }
}

void SliceParser::residual_chroma(int start, int end) {
    const int blocks = 4 * chroma_array_type_;  // 4 for 4:2:0, 8 for 4:2:2
    const int rows = blocks / 2;
    if ((cbp_chroma_ & 3) && start == 0) {
        for (int component = 0; component < 2; ++component) {
            int32_t levels[8] = {};
            const int count = counted(
                cabac_ ? cabac_->residual_block(levels, 0, blocks - 1, blocks, 3,
                                                coded_block_flag_inc(1 + component, 0, 0, 2, rows, true, false),
                                                mb_->interlaced != 0, false, chroma_array_type_)
                       : residual_block_cavlc(reader_, levels, 0, blocks - 1, blocks,
                                              chroma_array_type_ == 1 ? -1 : -2));
            state_->coded[1 + component] |= count > 0 ? 1u << 16 : 0;
            place_dc(1 + component, levels, 2, rows, chroma_array_type_ == 1 ? kChroma420DcCells : kChroma422DcCells);
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
            const int first = std::max(0, start - 1);
            const int count = counted(
                cabac_ ? cabac_->residual_block(levels + 1, first, end - 1, 15, 4,
                                                coded_block_flag_inc(1 + component, x, y, 2, rows, false, false),
                                                mb_->interlaced != 0, false, 1)
                       : residual_block_cavlc(reader_, levels + 1, first, end - 1, 15, chroma_nC(component, x, y)));
            state_->total_coeff[1 + component][block] = static_cast<uint8_t>(count);
            state_->coded[1 + component] |= count > 0 ? 1u << block : 0;
            if (count > 0) {
                place_4x4(1 + component, x, y, levels, 1, 16);
            }
        }
    }
}

// nC from the coefficient counts of the blocks to the left and above (9.2.1).
int SliceParser::luma_nC(int plane, int x, int y) const {
    const NeighbourRow a = left_block(x, y, 4, 4);
    const NeighbourRow b = above_block(y, 4);
    const MbNeighbourState* left = state_at(a.cell);
    const MbNeighbourState* above = state_at(b.cell);
    const int n_a = left ? left->total_coeff[plane][a.row * 4 + (x + 3) % 4] : 0;
    const int n_b = above ? above->total_coeff[plane][b.row * 4 + x] : 0;
    return left && above ? (n_a + n_b + 1) >> 1 : n_a + n_b;
}

int SliceParser::chroma_nC(int component, int x, int y) const {
    const int rows = 2 * chroma_array_type_;
    const NeighbourRow a = left_block(x, y, 4, rows);
    const NeighbourRow b = above_block(y, rows);
    const MbNeighbourState* left = state_at(a.cell);
    const MbNeighbourState* above = state_at(b.cell);
    const int n_a = left ? left->total_coeff[1 + component][a.row * 2 + (x + 1) % 2] : 0;
    const int n_b = above ? above->total_coeff[1 + component][b.row * 2 + x] : 0;
    return left && above ? (n_a + n_b + 1) >> 1 : n_a + n_b;
}

// Where the block whose top left sample is (x, y) of the macroblock lies in the plane, and the
// step from one of its rows to the next: every other line of the frame in a field picture and
// in a field macroblock pair, whose top macroblock has the pair's even lines.
int32_t* SliceParser::block_origin(int plane, int x, int y, int& row_stride) const {
    CoefficientPlanes& planes = *grid_.coefficients;
    const int width = plane == 0 || chroma_array_type_ == 3 ? 16 : 8;
    const int height = plane == 0 || chroma_array_type_ != 1 ? 16 : 8;
    const bool field_pair = mbaff_ && mb_->interlaced;
    const int step = field_pair ? 2 : grid_row_step_;
    const int line = field_pair ? ((mb_y_ / 2) * height + y) * 2 + (bottom_ ? 1 : 0)
                                : (mb_y_ * height + y) * grid_row_step_ + grid_row_offset_;
    row_stride = planes.width[plane] * step;
    return planes.at(plane, mb_x_ * width + x, line);
}

void SliceParser::place_4x4(int plane, int block_x, int block_y, const int32_t* levels, int first, int count) {
    if (grid_.coefficients == nullptr) {
        return;
    }
    int stride = 0;
    int32_t* origin = block_origin(plane, 4 * block_x, 4 * block_y, stride);
    grid_.coefficients->note_written(plane, origin, stride, 4, 4);
    const uint8_t* scan = mb_->interlaced ? kFieldScan4x4 : kZigZag4x4;
    for (int i = first; i < count; ++i) {
        origin[(scan[i] / 4) * stride + scan[i] % 4] = levels[i];
    }
}

void SliceParser::place_8x8(int plane, int block_x, int block_y, const int32_t* levels) {
    if (grid_.coefficients == nullptr) {
        return;
    }
    int stride = 0;
    int32_t* origin = block_origin(plane, 4 * block_x, 4 * block_y, stride);
    grid_.coefficients->note_written(plane, origin, stride, 8, 8);
    const uint8_t* scan = mb_->interlaced ? kFieldScan8x8 : kZigZag8x8;
    for (int i = 0; i < 64; ++i) {
        origin[(scan[i] / 8) * stride + scan[i] % 8] = levels[i];
    }
}

// Levels coded apart from their blocks (Intra 16x16 luma DC, chroma DC) at each block's [0, 0].
void SliceParser::place_dc(int plane, const int32_t* levels, int columns, int rows, const uint8_t* scan) {
    if (grid_.coefficients == nullptr) {
        return;
    }
    int stride = 0;
    for (int i = 0; i < columns * rows; ++i) {
        int32_t* origin = block_origin(plane, 4 * (scan[i] % columns), 4 * (scan[i] / columns), stride);
        grid_.coefficients->note_written(plane, origin, stride, 1, 1);
        *origin = levels[i];
    }
}
