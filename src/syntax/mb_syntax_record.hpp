#pragma once

#include <cstdint>

// One macroblock's syntax, laid out as the NumPy structured array that carries it. Blocks of
// 4x4 samples are in raster order within the macroblock (row by row, 4 blocks a row).
#pragma pack(push, 1)
struct MbSyntaxRecord {
    // An MbType, a Partition, and whether the macroblock is a field macroblock, as the
    // macroblock-type maps give them.
    uint8_t type = 255;
    uint8_t partition = 255;
    uint8_t interlaced = 0;
    // The coded mb_type for the slice's kind; -1 for a skipped macroblock.
    int16_t mb_type = -1;
    // Of P_8x8 and B_8x8 macroblocks; -1 otherwise.
    int8_t sub_mb_type[4] = {-1, -1, -1, -1};
    uint8_t transform_8x8 = 0;
    // Intra4x4PredMode / Intra8x8PredMode (repeated over its four blocks) / Intra16x16PredMode
    // (over all 16); -1 for inter and I_PCM macroblocks.
    int8_t intra_modes[16] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
    int8_t chroma_mode = -1;
    // Per list and 8x8 block, as coded; -1 where the list is not used or the index is not coded.
    int8_t ref_idx[2][4] = {{-1, -1, -1, -1}, {-1, -1, -1, -1}};
    // Per list and 4x4 block (x, y), each partition's difference repeated over its blocks.
    int16_t mvd[2][16][2] = {};
    // CodedBlockPatternLuma + 16 * CodedBlockPatternChroma; derived from mb_type for
    // Intra 16x16; -1 for skipped and I_PCM macroblocks.
    int16_t cbp = -1;
    int8_t qp_delta = 0;
    // QP_Y + 6 * (bit depth - 8), the QP map's scale; -1 where not parsed.
    int8_t qp = -1;
    int16_t slice = -1;
    uint8_t parsed = 0;
    int32_t bits_header = 0;
    int32_t bits_prediction = 0;
    int32_t bits_residual = 0;
};
#pragma pack(pop)
