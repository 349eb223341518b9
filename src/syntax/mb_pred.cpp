#include "syntax/slice_parser.hpp"

#include <algorithm>

#include "frame/mb_type_map.hpp"
#include "syntax/syntax_error.hpp"

namespace {

// Intra_4x4/Intra_8x8 DC, the mode a neighbour that does not code one stands for.
constexpr int kDcMode = 2;

// luma4x4BlkIdx -> the block's column and row in the macroblock.
constexpr uint8_t kBlockX[16] = {0, 1, 0, 1, 2, 3, 2, 3, 0, 1, 0, 1, 2, 3, 2, 3};
constexpr uint8_t kBlockY[16] = {0, 0, 1, 1, 0, 0, 1, 1, 2, 2, 3, 3, 2, 2, 3, 3};

uint8_t type_of_lists(int lists) {
    return static_cast<uint8_t>(lists == 1 ? MbType::L0 : lists == 2 ? MbType::L1 : MbType::Bi);
}

}  // namespace

void SliceParser::mb_pred() {
    int start = position();
    if (info_.kind == kINxN || info_.kind == kI16x16) {
        mb_->type = static_cast<uint8_t>(info_.kind == kINxN ? MbType::Intra4x4 : MbType::Intra16x16);
        mb_->partition = static_cast<uint8_t>(Partition::P16x16);
        if (info_.kind == kINxN) {
            intra_4x4_pred_modes(mb_->transform_8x8 != 0);
        } else {
            std::fill(std::begin(mb_->intra_modes), std::end(mb_->intra_modes), static_cast<int8_t>(info_.intra_mode));
        }
        if (chroma_array_type_ == 1 || chroma_array_type_ == 2) {
            intra_chroma_pred_mode();
        }
        mb_->bits_prediction += position() - start;
        return;
    }
    if (info_.kind == kBDirect) {
        mb_->type = static_cast<uint8_t>(MbType::Direct);
        mb_->partition = static_cast<uint8_t>(Partition::Unknown);
        return;
    }
    mb_->partition = info_.shape;
    mb_->type = type_of_lists(info_.lists[0] | (info_.parts == 2 ? info_.lists[1] : 0));
    const int width = info_.shape == 2 ? 2 : 4;
    const int height = info_.shape == 1 ? 2 : 4;
    for (int list = 0; list < 2; ++list) {
        for (int part = 0; part < info_.parts; ++part) {
            if (info_.lists[part] & (1 << list)) {
                const int8_t index = static_cast<int8_t>(
                    ref_idx(list, info_.shape == 2 ? part : 0, info_.shape == 1 ? part : 0));
                for (int block = 0; block < 4; ++block) {
                    const bool in_part = info_.shape == 0 || (info_.shape == 1 ? block / 2 == part : block % 2 == part);
                    if (in_part) {
                        mb_->ref_idx[list][block] = index;
                    }
                }
            }
        }
    }
    for (int list = 0; list < 2; ++list) {
        for (int part = 0; part < info_.parts; ++part) {
            if (info_.lists[part] & (1 << list)) {
                mvd(list, info_.shape == 2 ? 2 * part : 0, info_.shape == 1 ? 2 * part : 0, width, height);
            }
        }
    }
    mb_->bits_prediction += position() - start;
}

void SliceParser::sub_mb_pred() {
    const bool b = header_.kind == kSliceB;
    int start = position();
    SubMbTypeInfo subs[4];
    for (int i = 0; i < 4; ++i) {
        const int code = sub_mb_type();
        mb_->sub_mb_type[i] = static_cast<int8_t>(code);
        subs[i] = b ? b_sub_mb_type(code) : p_sub_mb_type(code);
    }
    mb_->bits_header += position() - start;
    start = position();
    // FFmpeg's map reports every 8x8-partitioned macroblock as predicted from both lists in B
    // slices, and from list 0 in P slices.
    mb_->type = b ? static_cast<uint8_t>(MbType::Bi) : static_cast<uint8_t>(MbType::L0);
    mb_->partition = static_cast<uint8_t>(Partition::P8x8);
    const bool ref0 = !b && mb_->mb_type == 4;
    for (int list = 0; list < 2; ++list) {
        for (int i = 0; i < 4; ++i) {
            if (subs[i].lists & (1 << list)) {
                mb_->ref_idx[list][i] = static_cast<int8_t>(ref0 ? 0 : ref_idx(list, i % 2, i / 2));
            }
        }
    }
    for (int list = 0; list < 2; ++list) {
        for (int i = 0; i < 4; ++i) {
            if (!(subs[i].lists & (1 << list))) {
                continue;
            }
            for (int part = 0; part < subs[i].parts; ++part) {
                const int x = 2 * (i % 2) + (subs[i].width == 1 ? part % 2 : 0);
                const int y = 2 * (i / 2) + (subs[i].width == 1 ? (subs[i].height == 1 ? part / 2 : 0) : part);
                mvd(list, x, y, subs[i].width, subs[i].height);
            }
        }
    }
    mb_->bits_prediction += position() - start;
}

int SliceParser::sub_mb_type() {
    const bool b = header_.kind == kSliceB;
    if (cabac_) {
        return b ? cabac_->sub_mb_type_b() : cabac_->sub_mb_type_p();
    }
    const uint32_t code = reader_.ue();
    check_syntax(!reader_.overrun() && code <= (b ? 12u : 3u), "sub_mb_type");
    return static_cast<int>(code);
}

// The index is coded only where there is more than one to choose from. A field macroblock
// of an MBAFF frame chooses among the fields of the reference frames, twice as many.
int SliceParser::ref_idx(int list, int x8, int y8) {
    const int most = header_.references[list] * (mbaff_ && mb_->interlaced ? 2 : 1) - 1;
    if (most == 0) {
        return 0;
    }
    const uint32_t index =
        cabac_ ? static_cast<uint32_t>(cabac_->ref_idx(ref_idx_inc(list, x8, y8))) : reader_.te(most);
    check_syntax(!reader_.overrun() && index <= static_cast<uint32_t>(most), "ref_idx");
    return static_cast<int>(index);
}

void SliceParser::mvd(int list, int x, int y, int width, int height) {
    const int32_t dx = cabac_ ? cabac_->mvd(0, mvd_sum(list, 0, x, y)) : reader_.se();
    const int32_t dy = cabac_ ? cabac_->mvd(1, mvd_sum(list, 1, x, y)) : reader_.se();
    check_syntax(!reader_.overrun() && dx >= -32768 && dx <= 32767 && dy >= -32768 && dy <= 32767, "mvd");
    for (int row = y; row < y + height; ++row) {
        for (int column = x; column < x + width; ++column) {
            mb_->mvd[list][row * 4 + column][0] = static_cast<int16_t>(dx);
            mb_->mvd[list][row * 4 + column][1] = static_cast<int16_t>(dy);
        }
    }
}

void SliceParser::intra_4x4_pred_modes(bool blocks_8x8) {
    const int count = blocks_8x8 ? 4 : 16;
    for (int i = 0; i < count; ++i) {
        const int x = blocks_8x8 ? 2 * (i % 2) : kBlockX[i];
        const int y = blocks_8x8 ? 2 * (i / 2) : kBlockY[i];
        const bool previous = cabac_ ? cabac_->prev_intra_pred_mode_flag() : reader_.flag();
        const int remaining = previous ? 0 : cabac_ ? cabac_->rem_intra_pred_mode() : static_cast<int>(reader_.read(3));
        const int predicted = predicted_intra_mode(x, y);
        const int mode = previous ? predicted : remaining < predicted ? remaining : remaining + 1;
        const int size = blocks_8x8 ? 2 : 1;
        for (int row = y; row < y + size; ++row) {
            for (int column = x; column < x + size; ++column) {
                mb_->intra_modes[row * 4 + column] = static_cast<int8_t>(mode);
            }
        }
    }
    check_syntax(!reader_.overrun(), "intra prediction modes past the slice's end");
}

// predIntra4x4PredMode (and predIntra8x8PredMode, whose neighbours are the 4x4 blocks beside
// the top left sample of its block, to the left and above: the same cells of the raster).
int SliceParser::predicted_intra_mode(int x, int y) const {
    const NeighbourRow left = left_block(x, y, 4, 4);
    const NeighbourRow above = above_block(y, 4);
    const MbSyntaxRecord* a = record_at(left.cell);
    const MbSyntaxRecord* b = record_at(above.cell);
    if (a == nullptr || b == nullptr) {
        return kDcMode;
    }
    const auto mode_of = [&](const MbSyntaxRecord* neighbour, int cell, bool& inter_constrained) {
        const bool intra = neighbour->type <= static_cast<uint8_t>(MbType::IntraPcm);
        inter_constrained |= !intra && header_.picture->constrained_intra;
        return neighbour->type == static_cast<uint8_t>(MbType::Intra4x4) ? neighbour->intra_modes[cell] : kDcMode;
    };
    bool inter_constrained = false;
    const int mode_a = mode_of(a, left.row * 4 + (x + 3) % 4, inter_constrained);
    const int mode_b = mode_of(b, above.row * 4 + x, inter_constrained);
    return inter_constrained ? kDcMode : std::min(mode_a, mode_b);
}

void SliceParser::intra_chroma_pred_mode() {
    const uint32_t mode = cabac_ ? static_cast<uint32_t>(cabac_->intra_chroma_pred_mode(intra_chroma_pred_mode_inc()))
                                 : reader_.ue();
    check_syntax(!reader_.overrun() && mode <= 3, "intra_chroma_pred_mode");
    mb_->chroma_mode = static_cast<int8_t>(mode);
}
