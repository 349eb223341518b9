#include "h264/cabac_contexts.hpp"

#include <algorithm>

#include "h264/cabac_init_values.hpp"

// Table 9-34, residual elements: coded_block_flag, significant_coeff_flag frame/field,
// last_significant_coeff_flag frame/field, coeff_abs_level_minus1.
const ResidualOffsets kResidualCtxIdxOffset[kBlockCategories] = {
    {85, {105, 277}, {166, 338}, 227},   {85, {105, 277}, {166, 338}, 227},
    {85, {105, 277}, {166, 338}, 227},   {85, {105, 277}, {166, 338}, 227},
    {85, {105, 277}, {166, 338}, 227},   {1012, {402, 436}, {417, 451}, 426},
    {460, {484, 776}, {572, 864}, 952},  {460, {484, 776}, {572, 864}, 952},
    {460, {484, 776}, {572, 864}, 952},  {1012, {660, 675}, {690, 699}, 708},
    {472, {528, 820}, {616, 908}, 982},  {472, {528, 820}, {616, 908}, 982},
    {472, {528, 820}, {616, 908}, 982},  {1012, {718, 733}, {748, 757}, 766},
};

// Table 9-40.
const BlockCatOffsets kCtxBlockCatOffset[kBlockCategories] = {
    {0, 0, 0},   {4, 15, 10}, {8, 29, 20}, {12, 44, 30}, {16, 47, 39}, {0, 0, 0}, {0, 0, 0},
    {4, 15, 10}, {8, 29, 20}, {4, 0, 0},   {0, 0, 0},    {4, 15, 10}, {8, 29, 20}, {8, 0, 0},
};

// Table 9-43, significant_coeff_flag: frame coded, then field coded.
const uint8_t kSignificantCoeffFlagInc8x8[2][63] = {
    {
         0,  1,  2,  3,  4,  5,  5,  4,  4,  3,  3,  4,  4,  4,  5,  5,
         4,  4,  4,  4,  3,  3,  6,  7,  7,  7,  8,  9, 10,  9,  8,  7,
         7,  6, 11, 12, 13, 11,  6,  7,  8,  9, 14, 10,  9,  8,  6, 11,
        12, 13, 11,  6,  9, 14, 10,  9, 11, 12, 13, 11, 14, 10, 12,
    },
    {
         0,  1,  1,  2,  2,  3,  3,  4,  5,  6,  7,  7,  7,  8,  4,  5,
         6,  9, 10, 10,  8, 11, 12, 11,  9,  9, 10, 10,  8, 11, 12, 11,
         9,  9, 10, 10,  8, 11, 12, 11,  9,  9, 10, 10,  8, 13, 13,  9,
         9, 10, 10,  8, 13, 13,  9,  9, 10, 10, 14, 14, 14, 14, 14,
    },
};

// Table 9-43, last_significant_coeff_flag (frame and field coded alike).
const uint8_t kLastSignificantCoeffFlagInc8x8[63] = {
     0,  1,  1,  1,  1,  1,  1,  1,  1,  1,  1,  1,  1,  1,  1,  1,
     2,  2,  2,  2,  2,  2,  2,  2,  2,  2,  2,  2,  2,  2,  2,  2,
     3,  3,  3,  3,  3,  3,  3,  3,  4,  4,  4,  4,  4,  4,  4,  4,
     5,  5,  5,  5,  6,  6,  6,  6,  7,  7,  7,  7,  8,  8,  8,
};

ResidualContextBase residual_context_base(int ctxBlockCat) {
    const ResidualOffsets& offset = kResidualCtxIdxOffset[ctxBlockCat];
    const BlockCatOffsets& cat = kCtxBlockCatOffset[ctxBlockCat];
    ResidualContextBase base{};
    base.coded_block_flag = offset.coded_block_flag + cat.coded_block_flag;
    for (int field = 0; field < 2; ++field) {
        base.significant_coeff_flag[field] = offset.significant_coeff_flag[field] + cat.significant_and_last;
        base.last_significant_coeff_flag[field] = offset.last_significant_coeff_flag[field] + cat.significant_and_last;
    }
    base.coeff_abs_level_minus1 = offset.coeff_abs_level_minus1 + cat.coeff_abs_level_minus1;
    return base;
}

namespace {

// 9.3.1.1: preCtxState = Clip3(1, 126, ((m * Clip3(0, 51, SliceQPY)) >> 4) + n).
CabacState initial_state(ContextInit init, int qp) {
    const int pre = std::clamp(((init.m * qp) >> 4) + init.n, 1, 126);
    return static_cast<CabacState>(pre <= 63 ? (63 - pre) << 1 : ((pre - 64) << 1) | 1);
}

}  // namespace

void init_cabac_contexts(CabacState* states, bool intra_slice, int cabac_init_idc, int slice_qp) {
    const int column = intra_slice ? 0 : 1 + std::clamp(cabac_init_idc, 0, 2);
    const int qp = std::clamp(slice_qp, 0, 51);
    for (int ctx = 0; ctx < kContextInitSplit; ++ctx) {
        states[ctx] = initial_state(kContextInitLow[ctx][column], qp);
    }
    for (int ctx = kContextInitSplit; ctx < kCabacContexts; ++ctx) {
        states[ctx] = initial_state(kContextInitHigh[ctx - kContextInitSplit][column], qp);
    }
    states[ctx_offset::kEndOfSliceFlag] = 63 << 1;
}
