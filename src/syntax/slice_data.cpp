#include "syntax/slice_parser.hpp"

#include "frame/mb_type_map.hpp"
#include "syntax/syntax_error.hpp"

namespace {

uint8_t u8(MbType type) { return static_cast<uint8_t>(type); }
uint8_t u8(Partition partition) { return static_cast<uint8_t>(partition); }

}  // namespace

SliceParser::SliceParser(BitReader& reader, const uint8_t* payload, std::size_t size, const SliceSyntaxHeader& header,
                         PictureGrid& grid, int slice)
    : reader_(reader),
      payload_(payload),
      size_(size),
      header_(header),
      sequence_(*header.sequence),
      grid_(grid),
      slice_(slice),
      chroma_array_type_(header.sequence->chroma_array_type()),
      qp_offset_(6 * (header.sequence->bit_depth_luma - 8)),
      qp_(header.qp),
      field_(header.field),
      mbaff_(header.mbaff),
      grid_row_step_(header.field ? 2 : 1),
      grid_row_offset_(header.bottom_field ? 1 : 0),
      picture_mbs_(grid.width_mbs * grid.height_mbs / (header.field ? 2 : 1)) {}

bool SliceParser::slice_data() {
    address_ = static_cast<int>(header_.first_mb) * (mbaff_ ? 2 : 1);
    mb_ = nullptr;
    previous_skipped_ = false;
    try {
        check_syntax(header_.kind != kSliceSI && header_.kind != kSliceSP, "SI and SP slices are not parsed");
        if (header_.picture->cabac) {
            cabac_slice_data();
        } else {
            cavlc_slice_data();
        }
        return true;
    } catch (const SyntaxError&) {
        if (mb_ != nullptr) {
            mb_->parsed = 0;
        }
        return false;
    }
}

void SliceParser::cavlc_slice_data() {
    const int total = picture_mbs_;
    int address = address_;
    bool more_data = true;
    while (more_data) {
        const int before = position();
        if (header_.kind != kSliceI) {
            const uint32_t run = reader_.ue();
            check_syntax(!reader_.overrun() && run <= static_cast<uint32_t>(total - address), "mb_skip_run");
            for (uint32_t i = 0; i < run; ++i) {
                start_macroblock(address++);
                skip_macroblock();
            }
            previous_skipped_ = run > 0;
            // The run's bits go to the macroblock read after it, or the last it skips.
            if (run > 0 && !reader_.more_rbsp_data()) {
                mb_->bits_header += position() - before;
                return;
            }
        }
        check_syntax(address < total, "the slice runs past the picture");
        start_macroblock(address);
        if (mbaff_ && (!bottom_ || previous_skipped_)) {
            mb_field_decoding_flag();
        }
        mb_->bits_header += position() - before;
        macroblock_layer();
        check_syntax(!reader_.overrun(), "the macroblock runs past the slice's end");
        previous_skipped_ = false;
        mb_->parsed = 1;
        ++address;
        more_data = reader_.more_rbsp_data();
    }
}

// The first macroblock's bits include the alignment and the 9 bits the engine reads to start,
// the last one's the bits from the engine's last position to the stop bit, so that the
// macroblocks' bits sum to the slice's data.
void SliceParser::cabac_slice_data() {
    const int data_start = position();
    reader_.align();
    cabac_.emplace(payload_, size_, reader_.position() / 8, header_.kind == kSliceI, header_.cabac_init_idc,
                   header_.qp);
    const int total = picture_mbs_;
    const int first = address_;
    for (int address = first;; ++address) {
        check_syntax(address < total, "the slice runs past the picture");
        start_macroblock(address);
        const int before = address == first ? data_start : position();
        const bool skipped =
            header_.kind != kSliceI && cabac_->mb_skip_flag(header_.kind == kSliceB, mb_skip_flag_inc());
        if (skipped) {
            skip_macroblock();
        } else if (mbaff_ && (!bottom_ || previous_skipped_)) {
            mb_field_decoding_flag();
        }
        mb_->bits_header += position() - before;
        if (!skipped) {
            macroblock_layer();
        }
        previous_skipped_ = skipped;
        // In MBAFF frames a slice ends only after the bottom macroblock of a pair.
        if (mbaff_ && !bottom_) {
            check_syntax(!cabac_->overrun(), "the macroblock runs past the slice's end");
            mb_->parsed = 1;
            continue;
        }
        const int end_before = position();
        const bool end = cabac_->end_of_slice_flag();
        check_syntax(!cabac_->overrun(), "the macroblock runs past the slice's end");
        mb_->bits_header += position() - end_before;
        mb_->parsed = 1;
        if (end) {
            // Encoders flush more of the arithmetic coder's register than decoding reads
            // (x264 all of it and a padding bit): the stop bit follows within 8 bits.
            const std::size_t data_end = stop_bit() + 1;
            const std::size_t read = cabac_->bit_position();
            check_syntax(read <= data_end && data_end - read < 8,
                         "the slice's data does not end with its last macroblock");
            mb_->bits_header += static_cast<int>(data_end - read);
            return;
        }
    }
}

// Where the top macroblock of the pair was skipped, its bottom macroblock's flag is the
// pair's, so the top macroblock takes it too.
void SliceParser::mb_field_decoding_flag() {
    const bool field = cabac_ ? cabac_->mb_field_decoding_flag(mb_field_decoding_flag_inc()) : reader_.flag();
    mb_->interlaced = field ? 1 : 0;
    if (bottom_) {
        grid_.records[static_cast<std::size_t>(cell_ - grid_.width_mbs)].interlaced = mb_->interlaced;
    }
    locate_neighbours();
}

// The rbsp_stop_one_bit: the last bit set in the payload.
std::size_t SliceParser::stop_bit() const {
    for (std::size_t i = size_; i > 0; --i) {
        if (payload_[i - 1] != 0) {
            return 8 * (i - 1) + 7 - static_cast<std::size_t>(__builtin_ctz(payload_[i - 1]));
        }
    }
    return 0;
}

void SliceParser::skip_macroblock() {
    const bool b = header_.kind == kSliceB;
    mb_->type = b ? u8(MbType::DirectSkip) : u8(MbType::Skip);
    // Direct prediction's partition follows the co-located picture's, which a parse alone
    // does not see.
    mb_->partition = b ? u8(Partition::Unknown) : u8(Partition::P16x16);
    if (!b) {
        for (int8_t& index : mb_->ref_idx[0]) {
            index = 0;
        }
    }
    mb_->qp = static_cast<int8_t>(qp_ + qp_offset_);
    previous_qp_delta_ = false;
    mb_->parsed = 1;
}
