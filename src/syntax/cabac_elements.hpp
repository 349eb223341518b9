#pragma once

#include <cstdint>

#include "h264/cabac_contexts.hpp"
#include "h264/cabac_engine.hpp"

// The syntax elements of CABAC slices (9.3.2, 9.3.3): each element's binarization decoded
// bin by bin with the contexts of Tables 9-34 and 9-39. What a context index depends on
// from the neighbouring macroblocks (ctxIdxInc) the caller works out and passes in.
class CabacElements {
public:
    // The engine starts at `start_byte` of the slice data; the contexts as the slice's kind,
    // cabac_init_idc and SliceQPY set them.
    CabacElements(const uint8_t* data, std::size_t size, std::size_t start_byte, bool intra_slice, int cabac_init_idc,
                  int slice_qp);

    std::size_t bit_position() const { return engine_.bit_position(); }
    bool overrun() const { return engine_.overrun(); }
    // After I_PCM samples: decoding starts again at this byte, the contexts kept.
    void restart(std::size_t start_byte);

    bool mb_skip_flag(bool b_slice, int inc) {
        return decide((b_slice ? ctx_offset::kMbSkipFlagB : ctx_offset::kMbSkipFlagP) + inc);
    }
    bool end_of_slice_flag() { return engine_.terminate() != 0; }
    bool mb_field_decoding_flag(int inc) { return decide(ctx_offset::kMbFieldDecodingFlag + inc); }
    // Table 7-11's value (0..25): in I slices `first_ctx` is ctx_offset::kMbTypeI with its
    // ctxIdxInc added and `suffix_offset` ctx_offset::kMbTypeI; in P and B slices both are
    // the suffix's offset.
    int mb_type_i(int first_ctx, int suffix_offset);
    // mb_type of P and B slices: the intra types after the inter ones (5 + and 23 +).
    int mb_type_p();
    int mb_type_b(int inc);
    int sub_mb_type_p();
    int sub_mb_type_b();
    int ref_idx(int inc);
    // `component` 0 horizontal, 1 vertical; `sum` the absMvdComp of neighbours A and B.
    int mvd(int component, int sum);
    int mb_qp_delta(bool previous_nonzero);
    bool prev_intra_pred_mode_flag() { return decide(ctx_offset::kPrevIntraPredModeFlag); }
    int rem_intra_pred_mode();
    int intra_chroma_pred_mode(int inc);
    // One bin of the prefix (luma, ctxIdxInc 0..3) or of the suffix (chroma, 0..7).
    bool coded_block_pattern_luma_bin(int inc) { return decide(ctx_offset::kCodedBlockPatternPrefix + inc); }
    bool coded_block_pattern_chroma_bin(int inc) { return decide(ctx_offset::kCodedBlockPatternSuffix + inc); }
    bool transform_size_8x8_flag(int inc) { return decide(ctx_offset::kTransformSize8x8Flag + inc); }

    // residual_block_cabac() for the levels levels[start..end] of block category `cat`,
    // `cbf_inc` the coded_block_flag's ctxIdxInc (coded where maxNumCoeff is not 64 or
    // `always_flag`). Returns the number of nonzero levels; levels not coded stay as they are.
    int residual_block(int32_t* levels, int start, int end, int max_coeff, int cat, int cbf_inc, bool field,
                       bool always_flag, int chroma_dc_blocks);

private:
    int decide(int ctx) { return engine_.decision(states_[ctx]); }
    int exp_golomb_bypass(int k);

    const uint8_t* data_;
    std::size_t size_;
    CabacEngine engine_;
    CabacState states_[kCabacContexts];
    ResidualContextBase bases_[kBlockCategories];
};
