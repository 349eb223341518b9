#include "reconstruct/macroblock_residual.hpp"

#include <algorithm>

#include "frame/mb_type_map.hpp"
#include "reconstruct/inverse_transforms.hpp"

namespace {

int32_t scale_ac_4x4(int32_t level, int32_t level_scale, int qp) {
    if (qp >= 24) {
        return level * level_scale * (1 << (qp / 6 - 4));
    }
    return (level * level_scale + (1 << (3 - qp / 6))) >> (4 - qp / 6);
}

// 8-326 and 8-336: the scaling of 8x8 levels and of Intra 16x16 and 4:2:2 chroma DC values.
int32_t scale_by_64(int32_t value, int32_t level_scale, int qp) {
    if (qp >= 36) {
        return value * level_scale * (1 << (qp / 6 - 6));
    }
    return (value * level_scale + (1 << (5 - qp / 6))) >> (6 - qp / 6);
}

bool is_intra(const MbSyntaxRecord& mb) {
    return mb.type == static_cast<uint8_t>(MbType::Intra4x4) || mb.type == static_cast<uint8_t>(MbType::Intra16x16);
}

}  // namespace

MacroblockResidual::MacroblockResidual(const FrameSyntax& syntax, const ResidualPlanes& target)
    : syntax_(syntax),
      target_(target),
      chroma_array_type_(syntax.sequence.chroma_array_type()),
      mbaff_(is_mbaff_frame(syntax)) {
    scale_.derive(syntax.picture);
}

void MacroblockResidual::rebuild(int mb_x, int mb_y, const MbSyntaxRecord& mb) {
    if (!mb.parsed || mb.cbp < 0) {
        return;  // skipped, I_PCM or unread: nothing coded
    }
    mb_x_ = mb_x;
    rows_ = MacroblockRows(mb_y, mbaff_, mb);
    intra_ = is_intra(mb);
    const int qp_y = mb.qp;
    const bool bypass = syntax_.sequence.transform_bypass && qp_y == 0;
    luma_like(0, qp_y, mb, bypass);
    if (chroma_array_type_ == 3) {
        luma_like(1, chroma_qp_prime(qp_y, 0, syntax_.sequence, syntax_.picture), mb, bypass);
        luma_like(2, chroma_qp_prime(qp_y, 1, syntax_.sequence, syntax_.picture), mb, bypass);
    } else if (chroma_array_type_ != 0 && (mb.cbp >> 4) != 0) {
        chroma(0, chroma_qp_prime(qp_y, 0, syntax_.sequence, syntax_.picture), intra_, bypass);
        chroma(1, chroma_qp_prime(qp_y, 1, syntax_.sequence, syntax_.picture), intra_, bypass);
    }
    if (bypass && intra_) {
        for (int plane = 0; plane < (chroma_array_type_ == 0 ? 1 : 3); ++plane) {
            intra_dpcm(plane, mb);
        }
    }
}

std::size_t MacroblockResidual::at(int plane, int x, int y) const {
    const bool luma_like = plane == 0 || chroma_array_type_ == 3;
    const int width = luma_like ? 16 : 8;
    const int height = luma_like || chroma_array_type_ == 2 ? 16 : 8;
    return rows_.sample(syntax_.coefficients.width[plane], width, height, mb_x_, x, y);
}

void MacroblockResidual::luma_like(int plane, int qp, const MbSyntaxRecord& mb, bool bypass) {
    if (bypass) {
        copy_levels(plane, 16, 16);
        return;
    }
    const int list = list_4x4(plane, intra_);
    if (mb.type == static_cast<uint8_t>(MbType::Intra16x16)) {
        const CoefficientPlanes& levels = syntax_.coefficients;
        int32_t dc[16];
        for (int i = 0; i < 16; ++i) {
            dc[i] = levels.planes[plane][at(plane, 4 * (i % 4), 4 * (i / 4))];
        }
        inverse_luma_dc_transform(dc);
        for (int32_t& value : dc) {
            value = scale_by_64(value, scale_.scale_4x4[list][qp % 6][0], qp);
        }
        for (int i = 0; i < 16; ++i) {
            block_4x4(plane, 4 * (i % 4), 4 * (i / 4), qp, list, &dc[i]);
        }
        return;
    }
    // An 8x8 quadrant whose coded_block_pattern bit is clear codes no level: its levels are
    // not even looked at.
    for (int i = 0; i < 4; ++i) {
        if ((mb.cbp & (1 << i)) == 0) {
            continue;
        }
        if (mb.transform_8x8) {
            block_8x8(plane, 8 * (i % 2), 8 * (i / 2), qp, list_8x8(plane, intra_));
            continue;
        }
        for (int j = 0; j < 4; ++j) {
            block_4x4(plane, 8 * (i % 2) + 4 * (j % 2), 8 * (i / 2) + 4 * (j / 2), qp, list, nullptr);
        }
    }
}

void MacroblockResidual::chroma(int component, int qp, bool intra, bool bypass) {
    const int plane = 1 + component;
    const int rows = chroma_array_type_ == 1 ? 2 : 4;
    if (bypass) {
        copy_levels(plane, 8, 4 * rows);
        return;
    }
    const int list = list_4x4(plane, intra);
    const CoefficientPlanes& levels = syntax_.coefficients;
    int32_t dc[8];
    for (int i = 0; i < 2 * rows; ++i) {
        dc[i] = levels.planes[plane][at(plane, 4 * (i % 2), 4 * (i / 2))];
    }
    inverse_chroma_dc_transform(dc, rows);
    for (int i = 0; i < 2 * rows; ++i) {
        if (rows == 2) {
            dc[i] = (dc[i] * scale_.scale_4x4[list][qp % 6][0] * (1 << (qp / 6))) >> 5;
        } else {
            const int qp_dc = qp + 3;
            dc[i] = scale_by_64(dc[i], scale_.scale_4x4[list][qp_dc % 6][0], qp_dc);
        }
        block_4x4(plane, 4 * (i % 2), 4 * (i / 2), qp, list, &dc[i]);
    }
}

// `dc`: the block's DC, scaled apart (Intra 16x16 luma, chroma); null where it is a level.
void MacroblockResidual::block_4x4(int plane, int x0, int y0, int qp, int list, const int32_t* dc) {
    const std::size_t offset = at(plane, x0, y0);
    // Most blocks of a coded quadrant code no level, and many only their DC: those need no
    // scaling of the rest, nor the transform; a block the parser wrote no levels of is not
    // even read.
    if (!syntax_.coefficients.may_hold_block(plane, offset)) {
        dc_only(plane, x0, y0, 4, dc != nullptr ? *dc : 0);
        return;
    }
    const int32_t* source = &syntax_.coefficients.planes[plane][offset];
    const int step = row_step(plane);
    int32_t ac = 0;
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 4; ++x) {
            ac |= x + y > 0 ? source[y * step + x] : 0;
        }
    }
    const int32_t first = dc != nullptr ? *dc : scale_ac_4x4(source[0], scale_.scale_4x4[list][qp % 6][0], qp);
    if (ac == 0) {
        dc_only(plane, x0, y0, 4, first);
        return;
    }
    int32_t block[16];
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 4; ++x) {
            block[4 * y + x] = scale_ac_4x4(source[y * step + x], scale_.scale_4x4[list][qp % 6][4 * y + x], qp);
        }
    }
    block[0] = first;
    inverse_transform_4x4(block);
    int16_t* target = &target_.plane[plane][offset];
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 4; ++x) {
            target[y * step + x] = static_cast<int16_t>(block[4 * y + x]);
        }
    }
}

void MacroblockResidual::block_8x8(int plane, int x0, int y0, int qp, int list) {
    const std::size_t offset = at(plane, x0, y0);
    if (!syntax_.coefficients.may_hold_block(plane, offset)) {
        return;  // no level: nothing added to the cleared residual
    }
    const int32_t* source = &syntax_.coefficients.planes[plane][offset];
    const int step = row_step(plane);
    int32_t ac = 0;
    for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 8; ++x) {
            ac |= x + y > 0 ? source[y * step + x] : 0;
        }
    }
    const int32_t first = scale_by_64(source[0], scale_.scale_8x8[list][qp % 6][0], qp);
    if (ac == 0) {
        dc_only(plane, x0, y0, 8, first);
        return;
    }
    int32_t block[64];
    for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 8; ++x) {
            block[8 * y + x] = scale_by_64(source[y * step + x], scale_.scale_8x8[list][qp % 6][8 * y + x], qp);
        }
    }
    inverse_transform_8x8(block);
    int16_t* target = &target_.plane[plane][offset];
    for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 8; ++x) {
            target[y * step + x] = static_cast<int16_t>(block[8 * y + x]);
        }
    }
}

// A block whose only coefficient is its DC, `dc` as scaled: both inverse transforms carry
// it unchanged to every sample, so the block is (dc + 32) >> 6 throughout; nothing where
// it is zero, the residual being cleared already.
void MacroblockResidual::dc_only(int plane, int x0, int y0, int size, int32_t dc) {
    const auto value = static_cast<int16_t>((dc + 32) >> 6);
    if (value == 0) {
        return;
    }
    const int step = row_step(plane);
    int16_t* target = &target_.plane[plane][at(plane, x0, y0)];
    for (int y = 0; y < size; ++y) {
        std::fill_n(target + y * step, size, value);
    }
}

// Transform bypass: the residual is the levels themselves (8.5.12, 8.5.13).
void MacroblockResidual::copy_levels(int plane, int width, int height) {
    for (int y = 0; y < height; ++y) {
        const int32_t* source = &syntax_.coefficients.planes[plane][at(plane, 0, y)];
        int16_t* target = &target_.plane[plane][at(plane, 0, y)];
        for (int x = 0; x < width; ++x) {
            target[x] = static_cast<int16_t>(source[x]);
        }
    }
}

// 8.5.15: in lossless intra blocks predicted vertically or horizontally the residual is
// coded as differences along the prediction's direction.
void MacroblockResidual::intra_dpcm(int plane, const MbSyntaxRecord& mb) {
    const bool luma_like = plane == 0 || chroma_array_type_ == 3;
    if (!luma_like) {
        const int height = chroma_array_type_ == 1 ? 8 : 16;
        if (mb.chroma_mode == 1 || mb.chroma_mode == 2) {
            accumulate(plane, 0, 0, 8, height, mb.chroma_mode == 2);
        }
        return;
    }
    const int size = mb.type == static_cast<uint8_t>(MbType::Intra16x16) ? 16 : mb.transform_8x8 ? 8 : 4;
    for (int y = 0; y < 16; y += size) {
        for (int x = 0; x < 16; x += size) {
            const int mode = mb.intra_modes[(y / 4) * 4 + x / 4];
            if (mode == 0 || mode == 1) {
                accumulate(plane, x, y, size, size, mode == 0);
            }
        }
    }
}

void MacroblockResidual::accumulate(int plane, int x0, int y0, int width, int height, bool vertical) {
    const int stride = row_step(plane);
    int16_t* origin = &target_.plane[plane][at(plane, x0, y0)];
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            if (vertical && y > 0) {
                origin[y * stride + x] = static_cast<int16_t>(origin[y * stride + x] + origin[(y - 1) * stride + x]);
            } else if (!vertical && x > 0) {
                origin[y * stride + x] = static_cast<int16_t>(origin[y * stride + x] + origin[y * stride + x - 1]);
            }
        }
    }
}
