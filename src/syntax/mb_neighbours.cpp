#include "syntax/slice_parser.hpp"

// Where the macroblock at `address` lies in the grid and its planes, and which macroblocks
// beside it its elements read. In MBAFF frames the macroblock starts as a field macroblock
// where its pair is inferred to be one; mb_field_decoding_flag, where coded, corrects it.
void SliceParser::start_macroblock(int address) {
    address_ = address;
    const int width = grid_.width_mbs;
    if (mbaff_) {
        const int pair = address / 2;
        mb_x_ = pair % width;
        mb_y_ = 2 * (pair / width) + address % 2;
        bottom_ = address % 2 == 1;
    } else {
        mb_x_ = address % width;
        mb_y_ = address / width;
    }
    cell_ = (mb_y_ * grid_row_step_ + grid_row_offset_) * width + mb_x_;
    mb_ = &grid_.records[static_cast<std::size_t>(cell_)];
    state_ = &grid_.states[static_cast<std::size_t>(cell_)];
    *mb_ = MbSyntaxRecord{};
    *state_ = MbNeighbourState{};
    mb_->slice = static_cast<int16_t>(slice_);
    const auto in_slice = [&](int cell) { return grid_.records[static_cast<std::size_t>(cell)].slice == slice_; };
    if (mbaff_) {
        const int top = cell_ - (bottom_ ? width : 0);
        left_pair_ = mb_x_ > 0 && in_slice(top - 1) ? top - 1 : -1;
        above_pair_ = mb_y_ > 1 && in_slice(top - 2 * width) ? top - 2 * width : -1;
        mb_->interlaced = bottom_ ? grid_.records[static_cast<std::size_t>(top)].interlaced
                                  : static_cast<uint8_t>(inferred_field_decoding_flag());
    } else {
        mb_->interlaced = field_ ? 1 : 0;
    }
    locate_neighbours();
}

// The macroblocks A and B of 6.4.11.1: beside the macroblock's first sample, to the left and
// above. In an MBAFF frame (Table 6-4), a frame macroblock's B is the bottom macroblock of the
// pair above, or for the bottom macroblock the top one of its own pair; a field
// macroblock's B is the macroblock of its own parity above, or the bottom one of a frame pair.
void SliceParser::locate_neighbours() {
    const int width = grid_.width_mbs;
    if (!mbaff_) {
        left_cell_ = mb_x_ > 0 && grid_.records[static_cast<std::size_t>(cell_ - 1)].slice == slice_ ? cell_ - 1 : -1;
        const int above = cell_ - grid_row_step_ * width;
        above_cell_ = mb_y_ > 0 && grid_.records[static_cast<std::size_t>(above)].slice == slice_ ? above : -1;
    } else {
        left_cell_ = left_of(0, 16).cell;
        if (!mb_->interlaced && bottom_) {
            above_cell_ = cell_ - width;
        } else if (above_pair_ < 0) {
            above_cell_ = -1;
        } else {
            const bool above_field = grid_.records[static_cast<std::size_t>(above_pair_)].interlaced != 0;
            above_cell_ = mb_->interlaced && !bottom_ && above_field ? above_pair_ : above_pair_ + width;
        }
    }
    left_ = record_at(left_cell_);
    above_ = record_at(above_cell_);
}

// 7.4.4: a pair whose macroblocks code no mb_field_decoding_flag takes that of the pair to
// its left in the slice, else of the pair above in the slice, else is a frame pair. A skipped
// top macroblock is decoded with this value until its bottom one codes the flag.
bool SliceParser::inferred_field_decoding_flag() const {
    const int pair = left_pair_ >= 0 ? left_pair_ : above_pair_;
    return pair >= 0 && grid_.records[static_cast<std::size_t>(pair)].interlaced != 0;
}

// Row `y` of the macroblock's `height` rows (16 for luma, the chroma height for chroma) has
// to its left the macroblock and row Table 6-4 gives. In MBAFF frames, where the pair to the
// left is coded otherwise than this macroblock, the row is found through the pair's lines:
// line l of a frame pair is row l % height of its top or bottom macroblock, of a field pair
// row l / 2 of the top (l even) or bottom macroblock.
NeighbourRow SliceParser::left_of(int y, int height) const {
    if (!mbaff_) {
        return {left_cell_, y};
    }
    if (left_pair_ < 0) {
        return {-1, y};
    }
    const int top = left_pair_;
    const int bottom = left_pair_ + grid_.width_mbs;
    const bool left_field = grid_.records[static_cast<std::size_t>(top)].interlaced != 0;
    const bool field = mb_->interlaced != 0;
    if (field == left_field) {
        return {bottom_ ? bottom : top, y};
    }
    if (!field) {
        const int line = bottom_ ? y + height : y;
        return {line % 2 == 0 ? top : bottom, line / 2};
    }
    const int line = 2 * y + (bottom_ ? 1 : 0);
    return {line < height ? top : bottom, line % height};
}
