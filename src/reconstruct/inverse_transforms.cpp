#include "reconstruct/inverse_transforms.hpp"

namespace {

// One row or column of 8-338 to 8-345 (4x4); `step` from one element to the next.
void transform_4(int32_t* d, int step) {
    const int32_t e0 = d[0] + d[2 * step];
    const int32_t e1 = d[0] - d[2 * step];
    const int32_t e2 = (d[step] >> 1) - d[3 * step];
    const int32_t e3 = d[step] + (d[3 * step] >> 1);
    d[0] = e0 + e3;
    d[step] = e1 + e2;
    d[2 * step] = e1 - e2;
    d[3 * step] = e0 - e3;
}

// One row or column of 8-347 to 8-370 (8x8).
void transform_8(int32_t* d, int step) {
    const int32_t d0 = d[0], d1 = d[step], d2 = d[2 * step], d3 = d[3 * step];
    const int32_t d4 = d[4 * step], d5 = d[5 * step], d6 = d[6 * step], d7 = d[7 * step];
    const int32_t e0 = d0 + d4;
    const int32_t e1 = -d3 + d5 - d7 - (d7 >> 1);
    const int32_t e2 = d0 - d4;
    const int32_t e3 = d1 + d7 - d3 - (d3 >> 1);
    const int32_t e4 = (d2 >> 1) - d6;
    const int32_t e5 = -d1 + d7 + d5 + (d5 >> 1);
    const int32_t e6 = d2 + (d6 >> 1);
    const int32_t e7 = d3 + d5 + d1 + (d1 >> 1);
    const int32_t f0 = e0 + e6;
    const int32_t f1 = e1 + (e7 >> 2);
    const int32_t f2 = e2 + e4;
    const int32_t f3 = e3 + (e5 >> 2);
    const int32_t f4 = e2 - e4;
    const int32_t f5 = (e3 >> 2) - e5;
    const int32_t f6 = e0 - e6;
    const int32_t f7 = e7 - (e1 >> 2);
    d[0] = f0 + f7;
    d[step] = f2 + f5;
    d[2 * step] = f4 + f3;
    d[3 * step] = f6 + f1;
    d[4 * step] = f6 - f1;
    d[5 * step] = f4 - f3;
    d[6 * step] = f2 - f5;
    d[7 * step] = f0 - f7;
}

// The 4-point Hadamard of 8-320 along one row or column.
void hadamard_4(int32_t* d, int step) {
    const int32_t a = d[0] + d[step];
    const int32_t b = d[0] - d[step];
    const int32_t c = d[2 * step] + d[3 * step];
    const int32_t e = d[2 * step] - d[3 * step];
    d[0] = a + c;
    d[step] = a - c;
    d[2 * step] = b - e;
    d[3 * step] = b + e;
}

}  // namespace

void inverse_transform_4x4(int32_t* block) {
    for (int row = 0; row < 4; ++row) {
        transform_4(block + 4 * row, 1);
    }
    for (int column = 0; column < 4; ++column) {
        transform_4(block + column, 4);
    }
    for (int i = 0; i < 16; ++i) {
        block[i] = (block[i] + 32) >> 6;
    }
}

void inverse_transform_8x8(int32_t* block) {
    for (int row = 0; row < 8; ++row) {
        transform_8(block + 8 * row, 1);
    }
    for (int column = 0; column < 8; ++column) {
        transform_8(block + column, 8);
    }
    for (int i = 0; i < 64; ++i) {
        block[i] = (block[i] + 32) >> 6;
    }
}

void inverse_luma_dc_transform(int32_t* dc) {
    for (int row = 0; row < 4; ++row) {
        hadamard_4(dc + 4 * row, 1);
    }
    for (int column = 0; column < 4; ++column) {
        hadamard_4(dc + column, 4);
    }
}

void inverse_chroma_dc_transform(int32_t* dc, int rows) {
    for (int row = 0; row < rows; ++row) {
        const int32_t a = dc[2 * row];
        const int32_t b = dc[2 * row + 1];
        dc[2 * row] = a + b;
        dc[2 * row + 1] = a - b;
    }
    if (rows == 2) {
        for (int column = 0; column < 2; ++column) {
            const int32_t a = dc[column];
            const int32_t b = dc[2 + column];
            dc[column] = a + b;
            dc[2 + column] = a - b;
        }
        return;
    }
    for (int column = 0; column < 2; ++column) {
        hadamard_4(dc + column, 2);
    }
}
