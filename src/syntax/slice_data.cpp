#include "syntax/slice_parser.hpp"

#include "frame/mb_type_map.hpp"
#include "h264/cavlc_tables.hpp"
#include "syntax/syntax_error.hpp"

namespace {

uint8_t u8(MbType type) { return static_cast<uint8_t>(type); }
uint8_t u8(Partition partition) { return static_cast<uint8_t>(partition); }

// The largest mb_type of each slice kind (P, B, I, SP, SI): Tables 7-11, 7-13 and 7-14 with
// the intra types after the inter ones.
constexpr int kLastMbType[5] = {30, 48, 25, 30, 26};

}  // namespace

SliceParser::SliceParser(BitReader& reader, const SliceSyntaxHeader& header, PictureGrid& grid, int slice)
    : reader_(reader),
      header_(header),
      sequence_(*header.sequence),
      grid_(grid),
      slice_(slice),
      chroma_array_type_(header.sequence->chroma_array_type()),
      qp_offset_(6 * (header.sequence->bit_depth_luma - 8)),
      qp_(header.qp) {}

bool SliceParser::slice_data() {
    const int total = grid_.width_mbs * grid_.height_mbs;
    int address = static_cast<int>(header_.first_mb);
    try {
        check_syntax(header_.kind != kSliceSI && header_.kind != kSliceSP, "SI and SP slices are not parsed");
        bool more_data = true;
        while (more_data) {
            if (header_.kind != kSliceI) {
                const int before = position();
                const uint32_t run = reader_.ue();
                check_syntax(!reader_.overrun() && run <= static_cast<uint32_t>(total - address), "mb_skip_run");
                for (uint32_t i = 0; i < run; ++i) {
                    start_macroblock(address++);
                    skip_macroblock();
                }
                // The run's bits go to the macroblock read after it, or the last it skips.
                more_data = reader_.more_rbsp_data();
                if (run > 0 && !more_data) {
                    mb_->bits_header += position() - before;
                    break;
                }
                check_syntax(address < total, "the slice runs past the picture");
                start_macroblock(address);
                mb_->bits_header += position() - before;
            } else {
                check_syntax(address < total, "the slice runs past the picture");
                start_macroblock(address);
            }
            macroblock_layer();
            check_syntax(!reader_.overrun(), "the macroblock runs past the slice's end");
            mb_->parsed = 1;
            ++address;
            more_data = reader_.more_rbsp_data();
        }
        return !reader_.overrun();
    } catch (const SyntaxError&) {
        if (address < total) {
            grid_.records[static_cast<std::size_t>(address)].parsed = 0;
        }
        return false;
    }
}

void SliceParser::start_macroblock(int address) {
    address_ = address;
    mb_x_ = address % grid_.width_mbs;
    mb_y_ = address / grid_.width_mbs;
    mb_ = &grid_.records[static_cast<std::size_t>(address)];
    state_ = &grid_.states[static_cast<std::size_t>(address)];
    *mb_ = MbSyntaxRecord{};
    *state_ = MbNeighbourState{};
    mb_->slice = static_cast<int16_t>(slice_);
    const auto in_slice = [&](int neighbour) -> const MbSyntaxRecord* {
        const MbSyntaxRecord* record = &grid_.records[static_cast<std::size_t>(neighbour)];
        return record->slice == slice_ ? record : nullptr;
    };
    left_ = mb_x_ > 0 ? in_slice(address - 1) : nullptr;
    above_ = mb_y_ > 0 ? in_slice(address - grid_.width_mbs) : nullptr;
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
    mb_->parsed = 1;
}

void SliceParser::macroblock_layer() {
    int start = position();
    const uint32_t code = reader_.ue();
    check_syntax(!reader_.overrun() && code <= static_cast<uint32_t>(kLastMbType[header_.kind]), "mb_type");
    mb_->mb_type = static_cast<int16_t>(code);
    const int coded = static_cast<int>(code);
    if (header_.kind == kSliceI) {
        info_ = intra_mb_type(coded);
    } else if (header_.kind == kSliceP) {
        info_ = coded < 5 ? p_mb_type(coded) : intra_mb_type(coded - 5);
    } else {
        info_ = coded < 23 ? b_mb_type(coded) : intra_mb_type(coded - 23);
    }
    if (info_.kind == kIPcm) {
        mb_->type = u8(MbType::IntraPcm);
        mb_->partition = u8(Partition::P16x16);
        mb_->bits_header += position() - start;
        start = position();
        pcm_samples();
        mb_->bits_residual += position() - start;
        return;
    }
    bool small_parts = false;
    if (info_.kind == kSub8x8) {
        mb_->bits_header += position() - start;
        sub_mb_pred();
        for (int i = 0; i < 4; ++i) {
            const SubMbTypeInfo sub = header_.kind == kSliceB ? b_sub_mb_type(mb_->sub_mb_type[i])
                                                              : p_sub_mb_type(mb_->sub_mb_type[i]);
            small_parts |= sub.lists == 0 ? !sequence_.direct_8x8_inference : sub.parts > 1;
        }
        start = position();
    } else {
        if (info_.kind == kINxN && header_.picture->transform_8x8) {
            mb_->transform_8x8 = reader_.flag();
        }
        mb_->bits_header += position() - start;
        mb_pred();
        start = position();
    }
    if (info_.kind != kI16x16) {
        coded_block_pattern();
        if (cbp_luma_ > 0 && header_.picture->transform_8x8 && info_.kind != kINxN && !small_parts &&
            (info_.kind != kBDirect || sequence_.direct_8x8_inference)) {
            mb_->transform_8x8 = reader_.flag();
        }
    } else {
        cbp_luma_ = info_.cbp_luma;
        cbp_chroma_ = info_.cbp_chroma;
    }
    mb_->cbp = static_cast<int16_t>(cbp_luma_ + 16 * cbp_chroma_);
    if (cbp_luma_ > 0 || cbp_chroma_ > 0 || info_.kind == kI16x16) {
        mb_qp_delta();
        mb_->bits_header += position() - start;
        start = position();
        residual(0, 15);
        mb_->bits_residual += position() - start;
    } else {
        mb_->bits_header += position() - start;
    }
    mb_->qp = static_cast<int8_t>(qp_ + qp_offset_);
}

void SliceParser::pcm_samples() {
    reader_.align();
    const int chroma_samples = chroma_array_type_ == 0 ? 0 : 2 * (chroma_array_type_ == 3 ? 256 : 64 * chroma_array_type_);
    for (int i = 0; i < 256; ++i) {
        reader_.skip(sequence_.bit_depth_luma);
    }
    for (int i = 0; i < chroma_samples; ++i) {
        reader_.skip(sequence_.bit_depth_chroma);
    }
    check_syntax(!reader_.overrun(), "pcm samples past the slice's end");
    // The deblocking filter and FFmpeg's QP map take an I_PCM macroblock's QP as 0.
    mb_->qp = 0;
    for (auto& plane : state_->total_coeff) {
        for (uint8_t& count : plane) {
            count = 16;
        }
    }
}

void SliceParser::coded_block_pattern() {
    const uint32_t code = reader_.ue();
    const bool intra = info_.kind == kINxN;
    check_syntax(!reader_.overrun() && code <= (chroma_array_type_ == 0 || chroma_array_type_ == 3 ? 15u : 47u),
                 "coded_block_pattern");
    const int cbp = cbp_from_code(code, intra, chroma_array_type_);
    cbp_luma_ = cbp % 16;
    cbp_chroma_ = cbp / 16;
}

void SliceParser::mb_qp_delta() {
    const int32_t delta = reader_.se();
    check_syntax(!reader_.overrun() && delta >= -(26 + qp_offset_ / 2) && delta <= 25 + qp_offset_ / 2,
                 "mb_qp_delta");
    mb_->qp_delta = static_cast<int8_t>(delta);
    qp_ = (qp_ + delta + 52 + 2 * qp_offset_) % (52 + qp_offset_) - qp_offset_;
}
