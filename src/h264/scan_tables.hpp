#pragma once

#include <cstdint>

// Inverse scans, default scaling lists and block positions. Scans map a scan index idx to
// the block's raster position: 4 * y + x in 4x4 blocks, 8 * y + x in 8x8 blocks, x being
// the column (the i of c[i][j] in the Recommendation) and y the row.

// Table 8-12: 4x4 zig-zag scan (frame macroblocks) and field scan (field macroblocks and
// field pictures).
inline constexpr uint8_t kZigZag4x4[16] = {0, 1, 4, 8, 5, 2, 3, 6, 9, 12, 13, 10, 7, 11, 14, 15};
inline constexpr uint8_t kFieldScan4x4[16] = {0, 4, 1, 8, 12, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15};

// Table 8-13: 8x8 zig-zag scan and field scan.
inline constexpr uint8_t kZigZag8x8[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
};
inline constexpr uint8_t kFieldScan8x8[64] = {
    0,  8,  16, 1,  9,  24, 32, 17, 2,  25, 40, 48, 56, 33, 10, 3,  18, 41, 49, 57, 26, 11,
    4,  19, 34, 42, 50, 58, 27, 12, 5,  20, 35, 43, 51, 59, 28, 13, 6,  21, 36, 44, 52, 60,
    29, 14, 22, 37, 45, 53, 61, 30, 7,  15, 38, 46, 54, 62, 23, 31, 39, 47, 55, 63,
};

// Table 7-3: Default_4x4_Intra and Default_4x4_Inter, by idx (zig-zag order, as the
// scaling_list() syntax reads them).
inline constexpr uint8_t kDefault4x4Intra[16] = {6, 13, 13, 20, 20, 20, 28, 28, 28, 28, 32, 32, 32, 37, 37, 42};
inline constexpr uint8_t kDefault4x4Inter[16] = {10, 14, 14, 20, 20, 20, 24, 24, 24, 24, 27, 27, 27, 30, 30, 34};

// Table 7-4: Default_8x8_Intra and Default_8x8_Inter, by idx (8x8 zig-zag order).
inline constexpr uint8_t kDefault8x8Intra[64] = {
    6,  10, 10, 13, 11, 13, 16, 16, 16, 16, 18, 18, 18, 18, 18, 23, 23, 23, 23, 23, 23, 25,
    25, 25, 25, 25, 25, 25, 27, 27, 27, 27, 27, 27, 27, 27, 29, 29, 29, 29, 29, 29, 29, 31,
    31, 31, 31, 31, 31, 33, 33, 33, 33, 33, 36, 36, 36, 36, 38, 38, 38, 40, 40, 42,
};
inline constexpr uint8_t kDefault8x8Inter[64] = {
    9,  13, 13, 15, 13, 15, 17, 17, 17, 17, 19, 19, 19, 19, 19, 21, 21, 21, 21, 21, 21, 22,
    22, 22, 22, 22, 22, 22, 24, 24, 24, 24, 24, 24, 24, 24, 25, 25, 25, 25, 25, 25, 25, 27,
    27, 27, 27, 27, 27, 28, 28, 28, 28, 28, 30, 30, 30, 30, 32, 32, 32, 33, 33, 35,
};

// 6.4.3: the upper-left luma sample of the 4x4 block luma4x4BlkIdx within its macroblock
// (the 4x4 blocks are numbered in 8x8 quadrants, each quadrant in raster order).
struct BlockPosition {
    uint8_t x;
    uint8_t y;
};
inline constexpr BlockPosition kLuma4x4BlockPosition[16] = {
    {0, 0}, {4, 0}, {0, 4}, {4, 4}, {8, 0},  {12, 0}, {8, 4},  {12, 4},
    {0, 8}, {4, 8}, {0, 12}, {4, 12}, {8, 8}, {12, 8}, {8, 12}, {12, 12},
};
