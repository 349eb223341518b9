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

// The pairs to the left and above that are field macroblock pairs (6.4.10).
int SliceParser::mb_field_decoding_flag_inc() const {
    const auto field_pair = [&](int pair) {
        return pair >= 0 && grid_.records[static_cast<std::size_t>(pair)].interlaced ? 1 : 0;
    };
    return field_pair(left_pair_) + field_pair(above_pair_);
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
// partitions hold 0 or -1. A frame macroblock counts a field neighbour's index in fields, two
// to each of its own reference frames.
int SliceParser::ref_idx_inc(int list, int x8, int y8) const {
    const auto term = [&](NeighbourRow n, int column) {
        const MbSyntaxRecord* neighbour = record_at(n.cell);
        if (neighbour == nullptr) {
            return 0;
        }
        const int threshold = !mb_->interlaced && neighbour->interlaced ? 1 : 0;
        return neighbour->ref_idx[list][n.row * 2 + column] > threshold ? 1 : 0;
    };
    return term(left_block(x8, y8, 8, 2), (x8 + 1) % 2) + 2 * term(above_block(y8, 2), x8);
}

// The vertical differences of field macroblocks count field lines, of frame macroblocks frame
// lines: a neighbour coded the other way has its difference scaled to this macroblock's.
int SliceParser::mvd_sum(int list, int component, int x4, int y4) const {
    const auto term = [&](NeighbourRow n, int column) {
        const MbSyntaxRecord* neighbour = record_at(n.cell);
        if (neighbour == nullptr) {
            return 0;
        }
        const int value = std::abs(neighbour->mvd[list][n.row * 4 + column][component]);
        if (component == 0 || neighbour->interlaced == mb_->interlaced) {
            return value;
        }
        return mb_->interlaced ? value / 2 : value * 2;
    };
    return term(left_block(x4, y4, 4, 4), (x4 + 3) % 4) + term(above_block(y4, 4), x4);
}

// A neighbouring 8x8 block that codes no luma coefficients counts; an unavailable or I_PCM
// neighbour does not, a skipped one does.
int SliceParser::coded_block_pattern_luma_inc(int b8, int luma_so_far) const {
    const int x8 = b8 % 2;
    const int y8 = b8 / 2;
    const auto term = [&](NeighbourRow n, int column) {
        const MbSyntaxRecord* neighbour = record_at(n.cell);
        if (neighbour == nullptr || is_pcm(*neighbour)) {
            return 0;
        }
        const int pattern = neighbour == mb_ ? luma_so_far : neighbour->cbp % 16;
        return is_skip(*neighbour) || !((pattern >> (n.row * 2 + column)) & 1) ? 1 : 0;
    };
    return term(left_block(x8, y8, 8, 2), (x8 + 1) % 2) + 2 * term(above_block(y8, 2), x8);
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
// where it too is an 8x8 block. DC blocks have the macroblocks A and B as neighbours.
int SliceParser::coded_block_flag_inc(int plane, int x, int y, int columns, int rows, bool dc, bool block_8x8) const {
    const bool intra = is_intra(*mb_);
    const auto term = [&](int cell, int bit) {
        const MbSyntaxRecord* neighbour = record_at(cell);
        if (neighbour == nullptr) {
            return intra ? 1 : 0;
        }
        if (block_8x8 && !is_pcm(*neighbour) && !neighbour->transform_8x8) {
            return 0;
        }
        return static_cast<int>((state_at(cell)->coded[plane] >> (dc ? 16 : bit)) & 1);
    };
    if (dc) {
        return term(left_cell_, 16) + 2 * term(above_cell_, 16);
    }
    const NeighbourRow a = left_block(x, y, 4, rows);
    const NeighbourRow b = above_block(y, rows);
    return term(a.cell, a.row * columns + (x + columns - 1) % columns) + 2 * term(b.cell, b.row * columns + x);
}
