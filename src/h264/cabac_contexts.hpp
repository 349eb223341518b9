#pragma once

#include <cstdint>

#include "h264/cabac_engine.hpp"

// Context variables of CABAC: their initialisation (9.3.1.1) and the constant tables of
// context index selection (9.3.3.1) that are tables rather than logic.

constexpr int kCabacContexts = 1024;

// Writes the state of every ctxIdx 0..1023 in the packed form of CabacEngine,
// (pStateIdx << 1) | valMPS, from the (m, n) of the I/SI column when `intra_slice` (I or
// SI slices) or of the cabac_init_idc column, and SliceQPY. ctxIdx 276, which only
// DecodeTerminate reads, gets pStateIdx 63 and valMPS 0.
void init_cabac_contexts(CabacState* states, bool intra_slice, int cabac_init_idc, int slice_qp);

// Table 9-34: ctxIdxOffset of the elements other than those of residual blocks. The
// suffix of mb_type in SI slices uses the I slice contexts (kMbTypeI).
namespace ctx_offset {
constexpr int kMbTypeSiPrefix = 0;
constexpr int kMbTypeI = 3;
constexpr int kMbSkipFlagP = 11;
constexpr int kMbTypePPrefix = 14;
constexpr int kMbTypePSuffix = 17;
constexpr int kSubMbTypeP = 21;
constexpr int kMbSkipFlagB = 24;
constexpr int kMbTypeBPrefix = 27;
constexpr int kMbTypeBSuffix = 32;
constexpr int kSubMbTypeB = 36;
constexpr int kMvdHorizontal = 40;
constexpr int kMvdVertical = 47;
constexpr int kRefIdx = 54;
constexpr int kMbQpDelta = 60;
constexpr int kIntraChromaPredMode = 64;
constexpr int kPrevIntraPredModeFlag = 68;
constexpr int kRemIntraPredMode = 69;
constexpr int kMbFieldDecodingFlag = 70;
constexpr int kCodedBlockPatternPrefix = 73;
constexpr int kCodedBlockPatternSuffix = 77;
constexpr int kEndOfSliceFlag = 276;
constexpr int kTransformSize8x8Flag = 399;
}  // namespace ctx_offset

// ctxBlockCat 0..13 (Table 9-42): Intra16x16DCLevel, Intra16x16ACLevel, LumaLevel4x4,
// ChromaDCLevel, ChromaACLevel, LumaLevel8x8, then the same six for Cb (6..9 without a
// second DC: CbIntra16x16DCLevel 6, CbIntra16x16ACLevel 7, CbLevel4x4 8, CbLevel8x8 9)
// and for Cr (10..13).
constexpr int kBlockCategories = 14;

// Table 9-34: ctxIdxOffset of the residual elements by ctxBlockCat; significant and last
// are indexed [frame coded 0 / field coded 1].
struct ResidualOffsets {
    int coded_block_flag;
    int significant_coeff_flag[2];
    int last_significant_coeff_flag[2];
    int coeff_abs_level_minus1;
};
extern const ResidualOffsets kResidualCtxIdxOffset[kBlockCategories];

// Table 9-40: ctxBlockCatOffset of coded_block_flag, of significant_coeff_flag and
// last_significant_coeff_flag, and of coeff_abs_level_minus1, by ctxBlockCat.
struct BlockCatOffsets {
    int coded_block_flag;
    int significant_and_last;
    int coeff_abs_level_minus1;
};
extern const BlockCatOffsets kCtxBlockCatOffset[kBlockCategories];

// The first ctxIdx of an element of a residual block: ctxIdxOffset + ctxBlockCatOffset,
// to which the caller adds its ctxIdxInc.
struct ResidualContextBase {
    int coded_block_flag;
    int significant_coeff_flag[2];
    int last_significant_coeff_flag[2];
    int coeff_abs_level_minus1;
};
ResidualContextBase residual_context_base(int ctxBlockCat);

// Table 9-43: ctxIdxInc of significant_coeff_flag (frame coded [0], field coded [1]) and
// of last_significant_coeff_flag, by levelListIdx 0..62, for ctxBlockCat 5, 9 and 13.
extern const uint8_t kSignificantCoeffFlagInc8x8[2][63];
extern const uint8_t kLastSignificantCoeffFlagInc8x8[63];
