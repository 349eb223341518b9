#include "reconstruct/level_scale.hpp"

#include <algorithm>

#include "h264/scan_tables.hpp"

namespace {

// normAdjust4x4 (8-315): v of m = qP % 6, by the position's class.
constexpr int32_t kNormAdjust4x4[6][3] = {{10, 16, 13}, {11, 18, 14}, {13, 20, 16},
                                          {14, 23, 18}, {16, 25, 20}, {18, 29, 23}};
// normAdjust8x8 (8-318).
constexpr int32_t kNormAdjust8x8[6][6] = {
    {20, 18, 32, 19, 25, 24}, {22, 19, 35, 21, 28, 26}, {26, 23, 42, 24, 33, 31},
    {28, 25, 45, 26, 35, 33}, {32, 28, 51, 30, 40, 38}, {36, 32, 58, 34, 46, 43},
};
// Table 8-15: QPC by qPI from 30 to 51; below 30 QPC is qPI.
constexpr int kChromaQp[22] = {29, 30, 31, 32, 32, 33, 34, 34, 35, 35, 36,
                               36, 37, 37, 37, 38, 38, 38, 39, 39, 39, 39};

int class_4x4(int x, int y) {
    if (x % 2 == 0 && y % 2 == 0) {
        return 0;
    }
    return x % 2 == 1 && y % 2 == 1 ? 1 : 2;
}

int class_8x8(int x, int y) {
    if (x % 4 == 0 && y % 4 == 0) {
        return 0;
    }
    if (x % 2 == 1 && y % 2 == 1) {
        return 1;
    }
    if (x % 4 == 2 && y % 4 == 2) {
        return 2;
    }
    if ((x % 4 == 0 && y % 2 == 1) || (x % 2 == 1 && y % 4 == 0)) {
        return 3;
    }
    return (x % 4 == 0 && y % 4 == 2) || (x % 4 == 2 && y % 4 == 0) ? 4 : 5;
}

// The weights of a list in zig-zag order put at their raster positions.
template <std::size_t Size>
std::array<int32_t, Size> raster_weights(const std::array<uint8_t, 64>& list, const uint8_t* scan) {
    std::array<int32_t, Size> weights{};
    for (std::size_t idx = 0; idx < Size; ++idx) {
        weights[scan[idx]] = list[idx];
    }
    return weights;
}

}  // namespace

void LevelScale::derive(const PictureSyntax& picture) {
    for (std::size_t list = 0; list < 6; ++list) {
        const auto weights = raster_weights<16>(picture.scaling[list], kZigZag4x4);
        for (int m = 0; m < 6; ++m) {
            for (int cell = 0; cell < 16; ++cell) {
                scale_4x4[list][m][cell] = weights[cell] * kNormAdjust4x4[m][class_4x4(cell % 4, cell / 4)];
            }
        }
    }
    for (std::size_t list = 0; list < 6; ++list) {
        const auto weights = raster_weights<64>(picture.scaling[6 + list], kZigZag8x8);
        for (int m = 0; m < 6; ++m) {
            for (int cell = 0; cell < 64; ++cell) {
                scale_8x8[list][m][cell] = weights[cell] * kNormAdjust8x8[m][class_8x8(cell % 8, cell / 8)];
            }
        }
    }
}

int chroma_qp_prime(int qp_y_prime, int component, const SequenceSyntax& sequence, const PictureSyntax& picture) {
    const int offset_y = 6 * (sequence.bit_depth_luma - 8);
    const int offset_c = 6 * (sequence.bit_depth_chroma - 8);
    const int offset = component == 0 ? picture.chroma_qp_offset : picture.second_chroma_qp_offset;
    const int qp_i = std::clamp(qp_y_prime - offset_y + offset, -offset_c, 51);
    const int qp_c = qp_i < 30 ? qp_i : kChromaQp[qp_i - 30];
    return qp_c + offset_c;
}
