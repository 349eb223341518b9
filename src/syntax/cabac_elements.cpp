#include "syntax/cabac_elements.hpp"

#include "syntax/syntax_error.hpp"

namespace {

// Longer Exp-Golomb suffixes code values past any level or vector difference.
constexpr int kLongestSuffix = 24;

}  // namespace

CabacElements::CabacElements(const uint8_t* data, std::size_t size, std::size_t start_byte, bool intra_slice,
                             int cabac_init_idc, int slice_qp)
    : data_(data), size_(size), engine_(data, size, start_byte) {
    init_cabac_contexts(states_, intra_slice, cabac_init_idc, slice_qp);
    for (int cat = 0; cat < kBlockCategories; ++cat) {
        bases_[cat] = residual_context_base(cat);
    }
}

void CabacElements::restart(std::size_t start_byte) { engine_ = CabacEngine(data_, size_, start_byte); }

int CabacElements::exp_golomb_bypass(int k) {
    int value = 0;
    while (engine_.bypass()) {
        value += 1 << k;
        check_syntax(++k < kLongestSuffix && !engine_.overrun(), "Exp-Golomb suffix too long");
    }
    while (k-- > 0) {
        value += engine_.bypass() << k;
    }
    return value;
}

// Table 9-36 with the bins of Table 9-39: after the first bin and the terminate that tells
// I_PCM, the bins of I_16x16 (luma pattern, chroma pattern nonzero, chroma pattern 2, two
// bins of the prediction mode) take ctxIdx 3 + 3..7 in I slices, and the suffix offset of P
// and B slices + 1, 2, 2, 3, 3.
int CabacElements::mb_type_i(int first_ctx, int suffix_offset) {
    if (!decide(first_ctx)) {
        return 0;
    }
    if (engine_.terminate()) {
        return 25;
    }
    const bool in_i_slice = suffix_offset == ctx_offset::kMbTypeI;
    const int o = suffix_offset;
    const int luma = decide(in_i_slice ? o + 3 : o + 1);
    int chroma = 0;
    if (decide(in_i_slice ? o + 4 : o + 2)) {
        chroma = 1 + decide(in_i_slice ? o + 5 : o + 2);
    }
    const int high = decide(in_i_slice ? o + 6 : o + 3);
    const int low = decide(in_i_slice ? o + 7 : o + 3);
    return 1 + 2 * high + low + 4 * chroma + 12 * luma;
}

int CabacElements::mb_type_p() {
    if (decide(ctx_offset::kMbTypePPrefix)) {
        return 5 + mb_type_i(ctx_offset::kMbTypePSuffix, ctx_offset::kMbTypePSuffix);
    }
    if (!decide(ctx_offset::kMbTypePPrefix + 1)) {
        return decide(ctx_offset::kMbTypePPrefix + 2) ? 3 : 0;
    }
    return decide(ctx_offset::kMbTypePPrefix + 3) ? 1 : 2;
}

int CabacElements::mb_type_b(int inc) {
    constexpr int o = ctx_offset::kMbTypeBPrefix;
    if (!decide(o + inc)) {
        return 0;
    }
    if (!decide(o + 3)) {
        return 1 + decide(o + 5);
    }
    int bits = decide(o + 4) << 3;
    bits |= decide(o + 5) << 2;
    bits |= decide(o + 5) << 1;
    bits |= decide(o + 5);
    if (bits < 8) {
        return bits + 3;
    }
    if (bits == 13) {
        return 23 + mb_type_i(ctx_offset::kMbTypeBSuffix, ctx_offset::kMbTypeBSuffix);
    }
    if (bits == 14) {
        return 11;
    }
    if (bits == 15) {
        return 22;
    }
    return ((bits << 1) | decide(o + 5)) - 4;
}

int CabacElements::sub_mb_type_p() {
    constexpr int o = ctx_offset::kSubMbTypeP;
    if (decide(o)) {
        return 0;
    }
    if (!decide(o + 1)) {
        return 1;
    }
    return decide(o + 2) ? 2 : 3;
}

int CabacElements::sub_mb_type_b() {
    constexpr int o = ctx_offset::kSubMbTypeB;
    if (!decide(o)) {
        return 0;
    }
    if (!decide(o + 1)) {
        return 1 + decide(o + 3);
    }
    int type = 3;
    if (decide(o + 2)) {
        if (decide(o + 3)) {
            return 11 + decide(o + 3);
        }
        type += 4;
    }
    type += 2 * decide(o + 3);
    type += decide(o + 3);
    return type;
}

int CabacElements::ref_idx(int inc) {
    int value = 0;
    int ctx = ctx_offset::kRefIdx + inc;
    while (decide(ctx)) {
        ctx = ctx_offset::kRefIdx + (value == 0 ? 4 : 5);
        check_syntax(++value < 64 && !engine_.overrun(), "ref_idx");
    }
    return value;
}

// UEG3 with uCoff 9 (9.3.2.3): a truncated unary prefix on contexts, then a bypass suffix.
int CabacElements::mvd(int component, int sum) {
    const int o = component == 0 ? ctx_offset::kMvdHorizontal : ctx_offset::kMvdVertical;
    if (!decide(o + (sum < 3 ? 0 : sum <= 32 ? 1 : 2))) {
        return 0;
    }
    int prefix = 1;
    constexpr uint8_t kInc[9] = {0, 3, 4, 5, 6, 6, 6, 6, 6};
    while (prefix < 9 && decide(o + kInc[prefix])) {
        ++prefix;
    }
    int value = prefix;
    if (prefix >= 9) {
        value += exp_golomb_bypass(3);
    }
    return engine_.bypass() ? -value : value;
}

int CabacElements::mb_qp_delta(bool previous_nonzero) {
    constexpr int o = ctx_offset::kMbQpDelta;
    if (!decide(o + (previous_nonzero ? 1 : 0))) {
        return 0;
    }
    int code = 1;
    int ctx = o + 2;
    while (decide(ctx)) {
        ctx = o + 3;
        check_syntax(++code < 128 && !engine_.overrun(), "mb_qp_delta");
    }
    return code % 2 ? (code + 1) / 2 : -(code / 2);
}

int CabacElements::rem_intra_pred_mode() {
    int mode = decide(ctx_offset::kRemIntraPredMode);
    mode |= decide(ctx_offset::kRemIntraPredMode) << 1;
    mode |= decide(ctx_offset::kRemIntraPredMode) << 2;
    return mode;
}

int CabacElements::intra_chroma_pred_mode(int inc) {
    constexpr int o = ctx_offset::kIntraChromaPredMode;
    if (!decide(o + inc)) {
        return 0;
    }
    if (!decide(o + 3)) {
        return 1;
    }
    return decide(o + 3) ? 3 : 2;
}
