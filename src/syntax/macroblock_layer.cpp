#include "frame/mb_type_map.hpp"
#include "h264/cavlc_tables.hpp"
#include "syntax/slice_parser.hpp"
#include "syntax/syntax_error.hpp"

namespace {

// The largest mb_type of each slice kind (P, B, I, SP, SI): Tables 7-11, 7-13 and 7-14 with
// the intra types after the inter ones.
constexpr int kLastMbType[5] = {30, 48, 25, 30, 26};

}  // namespace

void SliceParser::macroblock_layer() {
    int start = position();
    const int coded = mb_type();
    mb_->mb_type = static_cast<int16_t>(coded);
    if (header_.kind == kSliceI) {
        info_ = intra_mb_type(coded);
    } else if (header_.kind == kSliceP) {
        info_ = coded < 5 ? p_mb_type(coded) : intra_mb_type(coded - 5);
    } else {
        info_ = coded < 23 ? b_mb_type(coded) : intra_mb_type(coded - 23);
    }
    if (info_.kind == kIPcm) {
        mb_->type = static_cast<uint8_t>(MbType::IntraPcm);
        mb_->partition = static_cast<uint8_t>(Partition::P16x16);
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
            mb_->transform_8x8 = transform_size_8x8_flag();
        }
        mb_->bits_header += position() - start;
        mb_pred();
        start = position();
    }
    if (info_.kind != kI16x16) {
        coded_block_pattern();
        if (cbp_luma_ > 0 && header_.picture->transform_8x8 && info_.kind != kINxN && !small_parts &&
            (info_.kind != kBDirect || sequence_.direct_8x8_inference)) {
            mb_->transform_8x8 = transform_size_8x8_flag();
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
        previous_qp_delta_ = false;
        mb_->bits_header += position() - start;
    }
    mb_->qp = static_cast<int8_t>(qp_ + qp_offset_);
}

int SliceParser::mb_type() {
    if (!cabac_) {
        const uint32_t code = reader_.ue();
        check_syntax(!reader_.overrun() && code <= static_cast<uint32_t>(kLastMbType[header_.kind]), "mb_type");
        return static_cast<int>(code);
    }
    switch (header_.kind) {
        case kSliceI:
            return cabac_->mb_type_i(ctx_offset::kMbTypeI + mb_type_inc(), ctx_offset::kMbTypeI);
        case kSliceP:
            return cabac_->mb_type_p();
        default:
            return cabac_->mb_type_b(mb_type_inc());
    }
}

bool SliceParser::transform_size_8x8_flag() {
    return cabac_ ? cabac_->transform_size_8x8_flag(transform_size_8x8_flag_inc()) : reader_.flag();
}

void SliceParser::pcm_samples() {
    const int chroma_samples =
        chroma_array_type_ == 0 ? 0 : 2 * (chroma_array_type_ == 3 ? 256 : 64 * chroma_array_type_);
    const std::size_t bits = 256 * static_cast<std::size_t>(sequence_.bit_depth_luma) +
                             static_cast<std::size_t>(chroma_samples) * sequence_.bit_depth_chroma;
    if (cabac_) {
        // The samples start at the byte after the engine's position; decoding resumes after them.
        const std::size_t start = (cabac_->bit_position() + 7) / 8;
        check_syntax(start + bits / 8 < size_, "pcm samples past the slice's end");
        BitReader samples(payload_ + start, bits / 8);
        place_pcm(samples);
        cabac_->restart(start + bits / 8);
    } else {
        reader_.align();
        check_syntax(reader_.position() + bits <= 8 * size_, "pcm samples past the slice's end");
        place_pcm(reader_);
        check_syntax(!reader_.overrun(), "pcm samples past the slice's end");
    }
    // The deblocking filter and FFmpeg's QP map take an I_PCM macroblock's QP as 0.
    mb_->qp = 0;
    previous_qp_delta_ = false;
    for (int plane = 0; plane < 3; ++plane) {
        state_->coded[plane] = ~0u;
        for (uint8_t& count : state_->total_coeff[plane]) {
            count = 16;
        }
    }
}

void SliceParser::coded_block_pattern() {
    if (cabac_) {
        cbp_luma_ = 0;
        for (int b8 = 0; b8 < 4; ++b8) {
            cbp_luma_ |= cabac_->coded_block_pattern_luma_bin(coded_block_pattern_luma_inc(b8, cbp_luma_)) << b8;
        }
        cbp_chroma_ = 0;
        if (chroma_array_type_ == 1 || chroma_array_type_ == 2) {
            if (cabac_->coded_block_pattern_chroma_bin(coded_block_pattern_chroma_inc(0))) {
                cbp_chroma_ = 1 + cabac_->coded_block_pattern_chroma_bin(coded_block_pattern_chroma_inc(1));
            }
        }
        return;
    }
    const uint32_t code = reader_.ue();
    const bool intra = info_.kind == kINxN;
    check_syntax(!reader_.overrun() && code <= (chroma_array_type_ == 0 || chroma_array_type_ == 3 ? 15u : 47u),
                 "coded_block_pattern");
    const int cbp = cbp_from_code(code, intra, chroma_array_type_);
    cbp_luma_ = cbp % 16;
    cbp_chroma_ = cbp / 16;
}

void SliceParser::mb_qp_delta() {
    const int32_t delta = cabac_ ? cabac_->mb_qp_delta(previous_qp_delta_) : reader_.se();
    check_syntax(!reader_.overrun() && delta >= -(26 + qp_offset_ / 2) && delta <= 25 + qp_offset_ / 2,
                 "mb_qp_delta");
    mb_->qp_delta = static_cast<int8_t>(delta);
    previous_qp_delta_ = delta != 0;
    qp_ = (qp_ + delta + 52 + 2 * qp_offset_) % (52 + qp_offset_) - qp_offset_;
}

// Where levels are kept, an I_PCM macroblock's samples take the places of its levels; the
// reader stands after them either way.
void SliceParser::place_pcm(BitReader& samples) {
    const int chroma_width = chroma_array_type_ == 3 ? 16 : 8;
    const int chroma_height = chroma_array_type_ == 1 ? 8 : 16;
    for (int plane = 0; plane < (chroma_array_type_ == 0 ? 1 : 3); ++plane) {
        const int width = plane == 0 ? 16 : chroma_width;
        const int height = plane == 0 ? 16 : chroma_height;
        const int depth = plane == 0 ? sequence_.bit_depth_luma : sequence_.bit_depth_chroma;
        int stride = 0;
        int32_t* origin = grid_.coefficients != nullptr ? block_origin(plane, 0, 0, stride) : nullptr;
        if (origin != nullptr) {
            grid_.coefficients->note_written(plane, origin, stride, width, height);
        }
        for (int i = 0; i < width * height; ++i) {
            const auto sample = static_cast<int32_t>(samples.read(depth));
            if (origin != nullptr) {
                origin[(i / width) * stride + i % width] = sample;
            }
        }
    }
}
