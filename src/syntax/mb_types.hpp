#pragma once

#include <cstdint>

// What an mb_type or sub_mb_type value stands for. Prediction lists as a bit set: 1 list 0,
// 2 list 1, 3 both.
struct MbTypeInfo {
    // 0 I_NxN, 1 I_16x16, 2 I_PCM, 3 inter, 4 B_Direct_16x16, 5 P_8x8 or B_8x8 (sub types follow).
    uint8_t kind;
    uint8_t parts;
    // 0 16x16, 1 16x8, 2 8x16, 3 8x8.
    uint8_t shape;
    uint8_t lists[2];
    // Of I_16x16: Intra16x16PredMode, CodedBlockPatternChroma, CodedBlockPatternLuma.
    uint8_t intra_mode;
    uint8_t cbp_chroma;
    uint8_t cbp_luma;
};

enum MbKind : uint8_t { kINxN = 0, kI16x16 = 1, kIPcm = 2, kInter = 3, kBDirect = 4, kSub8x8 = 5 };

struct SubMbTypeInfo {
    uint8_t parts;
    // Width and height of each part in 4x4 blocks.
    uint8_t width;
    uint8_t height;
    // 0 for B_Direct_8x8.
    uint8_t lists;
};

// Table 7-11: mb_type 0..25 of I slices.
MbTypeInfo intra_mb_type(int mb_type);
// Tables 7-13 and 7-14: 0..4 of P slices, 0..22 of B slices (intra types follow them).
MbTypeInfo p_mb_type(int mb_type);
MbTypeInfo b_mb_type(int mb_type);
// Tables 7-17 and 7-18.
SubMbTypeInfo p_sub_mb_type(int sub_mb_type);
SubMbTypeInfo b_sub_mb_type(int sub_mb_type);
