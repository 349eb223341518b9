#include "reconstruct/intra_macroblock.hpp"

#include <algorithm>

#include "frame/mb_type_map.hpp"

namespace {

bool is_intra(const MbSyntaxRecord& mb) { return mb.type <= static_cast<uint8_t>(MbType::IntraPcm); }

// The decoding order of the 4x4 block holding sample (x, y) of a macroblock (6.4.3).
int block_order(int x, int y) { return 4 * ((y / 8) * 2 + x / 8) + ((y % 8) / 4) * 2 + (x % 8) / 4; }

}  // namespace

IntraMacroblock::IntraMacroblock(const FrameSyntax& syntax, RebuiltPicture& picture)
    : syntax_(syntax),
      picture_(picture),
      chroma_array_type_(syntax.sequence.chroma_array_type()),
      mbaff_(is_mbaff_frame(syntax)) {}

bool IntraMacroblock::usable(int x, int line, const MbSyntaxRecord& mb) const {
    const int rows = static_cast<int>(syntax_.coded_records.size()) / syntax_.coded_cols;
    if (x < 0 || line < 0 || x >= 16 * syntax_.coded_cols || line >= 16 * rows) {
        return false;
    }
    const MbSyntaxRecord& other = syntax_.coded_records[macroblock_holding(syntax_, mbaff_, x, line)];
    return other.parsed && other.slice == mb.slice && (!syntax_.picture.constrained_intra || is_intra(other));
}

void IntraMacroblock::rebuild(int mb_x, int mb_y, const MbSyntaxRecord& mb) {
    mb_x_ = mb_x;
    rows_ = MacroblockRows(mb_y, mbaff_, mb);
    const int x = 16 * mb_x;
    const int first = rows_.first(16);
    const int above = first - rows_.step();
    // A left pair of an MBAFF frame coded otherwise than the macroblock gives its rows from
    // both its macroblocks.
    const bool left = usable(x - 1, first, mb) && usable(x - 1, first + 15 * rows_.step(), mb);
    // Above and right of a pair's bottom frame macroblock lies the pair to the right, not
    // decoded yet.
    const bool bottom_frame_macroblock = mbaff_ && mb_y % 2 == 1 && !rows_.field_pair;
    around_ = Around{left, usable(x, above, mb), usable(x - 1, above, mb),
                     !bottom_frame_macroblock && usable(x + 16, above, mb)};
    if (mb.type == static_cast<uint8_t>(MbType::IntraPcm)) {
        pcm_samples();
        return;
    }
    luma_like(0, mb);
    if (chroma_array_type_ == 3) {
        luma_like(1, mb);
        luma_like(2, mb);
    } else if (chroma_array_type_ != 0) {
        chroma(1, mb.chroma_mode);
        chroma(2, mb.chroma_mode);
    }
}

// I_PCM: the samples as coded, which the levels' planes carry.
void IntraMacroblock::pcm_samples() {
    for (int plane = 0; plane < (chroma_array_type_ == 0 ? 1 : 3); ++plane) {
        const bool luma_like = plane == 0 || chroma_array_type_ == 3;
        const int width = luma_like ? 16 : 8;
        const int height = luma_like || chroma_array_type_ == 2 ? 16 : 8;
        for (int y = 0; y < height; ++y) {
            const std::size_t row = at(plane, 0, y);
            const int32_t* levels = &syntax_.coefficients.planes[plane][row];
            for (int x = 0; x < width; ++x) {
                picture_.prediction[plane][row + x] = static_cast<uint16_t>(levels[x]);
                picture_.samples[plane][row + x] = static_cast<uint16_t>(levels[x]);
            }
        }
    }
}

void IntraMacroblock::luma_like(int plane, const MbSyntaxRecord& mb) {
    if (mb.type != static_cast<uint8_t>(MbType::Intra16x16)) {
        blocks_nxn(plane, mb.transform_8x8 ? 8 : 4, mb);
        return;
    }
    IntraNeighbours p;
    gather(plane, 0, 0, 16, 16, 16, false, p);
    const int bit_depth = plane == 0 ? syntax_.sequence.bit_depth_luma : syntax_.sequence.bit_depth_chroma;
    predict_16x16(mb.intra_modes[0], p, bit_depth, prediction_);
    add(plane, 0, 0, 16, 16, prediction_);
}

void IntraMacroblock::blocks_nxn(int plane, int n, const MbSyntaxRecord& mb) {
    const int bit_depth = plane == 0 ? syntax_.sequence.bit_depth_luma : syntax_.sequence.bit_depth_chroma;
    for (int i = 0; i < 256 / (n * n); ++i) {
        // Blocks in decoding order: 8x8 quadrants, 4x4 blocks in each in raster order.
        const int bx = n == 8 ? 8 * (i % 2) : 8 * ((i / 4) % 2) + 4 * (i % 2);
        const int by = n == 8 ? 8 * (i / 2) : 8 * (i / 8) + 4 * ((i / 2) % 2);
        IntraNeighbours p;
        gather(plane, bx, by, n, n, 2 * n, top_right_available(bx, by, n), p);
        if (n == 8) {
            filter_8x8_references(p);
        }
        predict_nxn(mb.intra_modes[(by / 4) * 4 + bx / 4], n, p, bit_depth, prediction_);
        add(plane, bx, by, n, n, prediction_);
    }
}

void IntraMacroblock::chroma(int plane, int mode) {
    const int height = chroma_array_type_ == 1 ? 8 : 16;
    IntraNeighbours p;
    gather(plane, 0, 0, 8, height, 8, false, p);
    predict_chroma(mode, 8, height, p, syntax_.sequence.bit_depth_chroma, prediction_);
    add(plane, 0, 0, 8, height, prediction_);
}

// Whether the samples above and right of the n x n block at (bx, by) are decoded already.
bool IntraMacroblock::top_right_available(int bx, int by, int n) const {
    if (by == 0) {
        return bx + n < 16 ? around_.above : around_.above_right;
    }
    return bx + n < 16 && block_order(bx + n, by - 1) < block_order(bx, by);
}

std::size_t IntraMacroblock::at(int plane, int x, int y) const {
    const bool luma_like = plane == 0 || chroma_array_type_ == 3;
    const int width = luma_like ? 16 : 8;
    const int height = luma_like || chroma_array_type_ == 2 ? 16 : 8;
    return rows_.sample(picture_.width[plane], width, height, mb_x_, x, y);
}

// The samples beside the block at (bx, by) of the macroblock; `top_count` samples above it
// from its left edge, those past `width` taken from the block above-right where available.
void IntraMacroblock::gather(int plane, int bx, int by, int width, int height, int top_count, bool top_right,
                             IntraNeighbours& p) const {
    const uint16_t* samples = picture_.samples[plane].data();
    p.has_left = bx > 0 || around_.left;
    p.has_top = by > 0 || around_.above;
    p.has_corner = bx > 0 && by > 0 ? true : bx == 0 && by == 0 ? around_.above_left : bx == 0 ? around_.left : around_.above;
    if (p.has_top) {
        const uint16_t* row = samples + at(plane, bx, by - 1);
        for (int x = 0; x < top_count; ++x) {
            p.top[1 + x] = x < width || top_right ? row[x] : row[width - 1];
        }
    }
    if (p.has_left) {
        for (int y = 0; y < height; ++y) {
            p.left[y] = samples[at(plane, bx, by + y) - 1];
        }
    }
    if (p.has_corner) {
        p.top[0] = samples[at(plane, bx, by - 1) - 1];
    }
}

void IntraMacroblock::add(int plane, int bx, int by, int width, int height, const int32_t* prediction) {
    const int bit_depth = plane == 0 ? syntax_.sequence.bit_depth_luma : syntax_.sequence.bit_depth_chroma;
    const int32_t most = (1 << bit_depth) - 1;
    for (int y = 0; y < height; ++y) {
        const std::size_t row = at(plane, bx, by + y);
        for (int x = 0; x < width; ++x) {
            const int32_t predicted = prediction[y * width + x];
            picture_.prediction[plane][row + x] = static_cast<uint16_t>(predicted);
            picture_.samples[plane][row + x] =
                static_cast<uint16_t>(std::clamp(predicted + picture_.residual[plane][row + x], 0, most));
        }
    }
}
