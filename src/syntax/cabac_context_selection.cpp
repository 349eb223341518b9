#include <cstdlib>

#include "frame/mb_type_map.hpp"
#include "syntax/slice_parser.hpp"

namespace {

bool is_skip(const MbSyntaxRecord& mb) {
    return mb.type == static_cast<uint8_t>(MbType::Skip) || mb.type == static_cast<uint8_t>(MbType::DirectSkip);
}

bool is_pcm(const MbSyntaxRecord& mb) { return mb.type == static_cast<uint8_t>(MbType::IntraPcm); }

bool is_intra(const MbSyntaxRecord& mb) { return mb.type <= static_cast<uint8_t>(MbType::IntraPcm); }

}  // namespace

int SliceParser::mb_skip_flag_inc() const {
    return (left_ && !is_skip(*left_) ? 1 : 0) + (above_ && !is_skip(*above_) ? 1 : 0);
}

// I slices: a neighbour that is not I_NxN; B slices: one neither skipped nor B_Direct_16x16.
int SliceParser::mb_type_inc() const {
    const auto term = [&](const MbSyntaxRecord* n) {
        if (n == nullptr) {
            return 0;
        }
        if (header_.kind == kSliceI) {
            return n->type != static_cast<uint8_t>(MbType::Intra4x4) ? 1 : 0;
        }
        return n->type != static_cast<uint8_t>(MbType::DirectSkip) && n->type != static_cast<uint8_t>(MbType::Direct)
                   ? 1
                   : 0;
    };
    return term(left_) + term(above_);
}

int SliceParser::transform_size_8x8_flag_inc() const {
    return (left_ && left_->transform_8x8 ? 1 : 0) + (above_ && above_->transform_8x8 ? 1 : 0);
}

// Intra neighbours other than I_PCM that predict chroma other than DC; inter ones hold -1.
int SliceParser::intra_chroma_pred_mode_inc() const {
    return (left_ && left_->chroma_mode > 0 ? 1 : 0) + (above_ && above_->chroma_mode > 0 ? 1 : 0);
}

// Neighbours that code a reference index above 0 for the list; skipped and direct
// partitions hold 0 or -1.
int SliceParser::ref_idx_inc(int list, int x8, int y8) const {
    const MbSyntaxRecord* a = x8 > 0 ? mb_ : left_;
    const MbSyntaxRecord* b = y8 > 0 ? mb_ : above_;
    const int term_a = a && a->ref_idx[list][y8 * 2 + (x8 + 1) % 2] > 0 ? 1 : 0;
    const int term_b = b && b->ref_idx[list][((y8 + 1) % 2) * 2 + x8] > 0 ? 1 : 0;
    return term_a + 2 * term_b;
}

int SliceParser::mvd_sum(int list, int component, int x4, int y4) const {
    const MbSyntaxRecord* a = x4 > 0 ? mb_ : left_;
    const MbSyntaxRecord* b = y4 > 0 ? mb_ : above_;
    const int from_a = a ? std::abs(a->mvd[list][y4 * 4 + (x4 + 3) % 4][component]) : 0;
    const int from_b = b ? std::abs(b->mvd[list][((y4 + 3) % 4) * 4 + x4][component]) : 0;
    return from_a + from_b;
}

// A neighbouring 8x8 block that codes no luma coefficients counts; an unavailable or I_PCM
// neighbour does not, a skipped one does.
int SliceParser::coded_block_pattern_luma_inc(int b8, int luma_so_far) const {
    const int x8 = b8 % 2;
    const int y8 = b8 / 2;
    const auto term = [](const MbSyntaxRecord* n, int pattern, int block) {
        if (n == nullptr || is_pcm(*n)) {
            return 0;
        }
        return is_skip(*n) || !((pattern >> block) & 1) ? 1 : 0;
    };
    const int term_a = x8 > 0 ? term(mb_, luma_so_far, b8 - 1) : term(left_, left_ ? left_->cbp % 16 : 0, b8 + 1);
    const int term_b = y8 > 0 ? term(mb_, luma_so_far, b8 - 2) : term(above_, above_ ? above_->cbp % 16 : 0, b8 + 2);
    return term_a + 2 * term_b;
}

int SliceParser::coded_block_pattern_chroma_inc(int bin) const {
    const auto term = [&](const MbSyntaxRecord* n) {
        if (n == nullptr) {
            return 0;
        }
        if (is_pcm(*n)) {
            return 1;
        }
        const int chroma = is_skip(*n) ? 0 : n->cbp / 16;
        return (bin == 0 ? chroma != 0 : chroma == 2) ? 1 : 0;
    };
    return term(left_) + 2 * term(above_) + (bin == 1 ? 4 : 0);
}

// The block to the left and the one above, in this macroblock or a neighbour: an unavailable
// neighbour counts as coded for intra macroblocks only; an 8x8 block's neighbour counts only
// where it too is an 8x8 block.
int SliceParser::coded_block_flag_inc(int plane, int x, int y, int columns, int rows, bool dc, bool block_8x8) const {
    const bool intra = is_intra(*mb_);
    const auto term = [&](const MbSyntaxRecord* n, const MbNeighbourState* state, int bit) {
        if (n == nullptr) {
            return intra ? 1 : 0;
        }
        if (block_8x8 && !is_pcm(*n) && !n->transform_8x8) {
            return 0;
        }
        return static_cast<int>((state->coded[plane] >> (dc ? 16 : bit)) & 1);
    };
    const MbNeighbourState* left_state = state_ - 1;
    const MbNeighbourState* above_state = state_ - grid_row_step_ * grid_.width_mbs;
    const int term_a = !dc && x > 0 ? term(mb_, state_, y * columns + x - 1)
                                    : term(left_, left_state, y * columns + columns - 1);
    const int term_b = !dc && y > 0 ? term(mb_, state_, (y - 1) * columns + x)
                                    : term(above_, above_state, (rows - 1) * columns + x);
    return term_a + 2 * term_b;
}
