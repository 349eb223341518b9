#pragma once

#include <cstdint>

// The inverse transforms of 8.5.12 to 8.5.13 and the DC transforms of 8.5.10 and 8.5.11, on
// blocks in raster order (stride the block's width). Each turns scaled coefficients into
// residual samples in place.

// 8.5.12.2: the 4x4 transform, rows then columns, and (x + 32) >> 6.
void inverse_transform_4x4(int32_t* block);

// 8.5.13.2: the 8x8 transform, rows then columns, and (x + 32) >> 6.
void inverse_transform_8x8(int32_t* block);

// 8.5.10: the 4x4 Hadamard transform of Intra 16x16 luma DC levels (unscaled).
void inverse_luma_dc_transform(int32_t* dc);

// 8.5.11.1: the chroma DC transform of a 2x2 (4:2:0) or 2 wide and 4 high (4:2:2) array.
void inverse_chroma_dc_transform(int32_t* dc, int rows);
