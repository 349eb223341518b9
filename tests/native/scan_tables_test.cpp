// Scans are permutations with entries spot-checked against the Recommendation's tables;
// default scaling lists read in zig-zag order rise away from DC; luma 4x4 block positions
// follow the InverseRasterScan formula of 6.4.3.
// Usage: scan_tables_test

#include <cstdint>
#include <vector>

#include "check.hpp"
#include "h264/scan_tables.hpp"

namespace {

template <int N>
bool is_permutation(const uint8_t (&scan)[N]) {
    std::vector<int> seen(N, 0);
    for (const uint8_t position : scan) {
        if (position >= N || seen[position]++ > 0) {
            return false;
        }
    }
    return true;
}

int raster4(int x, int y) { return 4 * y + x; }
int raster8(int x, int y) { return 8 * y + x; }

void scans_are_permutations_with_the_recommendations_entries() {
    CHECK(is_permutation(kZigZag4x4));
    CHECK(is_permutation(kFieldScan4x4));
    CHECK(is_permutation(kZigZag8x8));
    CHECK(is_permutation(kFieldScan8x8));
    // Zig-zag 4x4: idx 2 is c[0][1], idx 5 c[2][0], idx 11 c[2][2], idx 14 c[2][3].
    CHECK_EQ(int(kZigZag4x4[2]), raster4(0, 1));
    CHECK_EQ(int(kZigZag4x4[5]), raster4(2, 0));
    CHECK_EQ(int(kZigZag4x4[11]), raster4(2, 2));
    CHECK_EQ(int(kZigZag4x4[14]), raster4(2, 3));
    // Field 4x4 goes down first: idx 1 c[0][1], 2 c[1][0], 4 c[0][3], 8 c[2][0], 12 c[3][0].
    CHECK_EQ(int(kFieldScan4x4[1]), raster4(0, 1));
    CHECK_EQ(int(kFieldScan4x4[2]), raster4(1, 0));
    CHECK_EQ(int(kFieldScan4x4[4]), raster4(0, 3));
    CHECK_EQ(int(kFieldScan4x4[8]), raster4(2, 0));
    CHECK_EQ(int(kFieldScan4x4[12]), raster4(3, 0));
    // Zig-zag 8x8: idx 3 c[0][2], idx 10 c[0][4], idx 35 c[0][7], idx 63 c[7][7].
    CHECK_EQ(int(kZigZag8x8[3]), raster8(0, 2));
    CHECK_EQ(int(kZigZag8x8[10]), raster8(0, 4));
    CHECK_EQ(int(kZigZag8x8[35]), raster8(0, 7));
    CHECK_EQ(int(kZigZag8x8[63]), raster8(7, 7));
    // Field 8x8: idx 1 c[0][1], 2 c[0][2], 3 c[1][0], 12 c[0][7], 52 c[7][0].
    CHECK_EQ(int(kFieldScan8x8[1]), raster8(0, 1));
    CHECK_EQ(int(kFieldScan8x8[2]), raster8(0, 2));
    CHECK_EQ(int(kFieldScan8x8[3]), raster8(1, 0));
    CHECK_EQ(int(kFieldScan8x8[12]), raster8(0, 7));
    CHECK_EQ(int(kFieldScan8x8[52]), raster8(7, 0));
    CHECK_EQ(int(kFieldScan8x8[63]), raster8(7, 7));
}

void default_scaling_lists() {
    CHECK_EQ(int(kDefault4x4Intra[0]), 6);
    CHECK_EQ(int(kDefault4x4Intra[15]), 42);
    CHECK_EQ(int(kDefault4x4Inter[0]), 10);
    CHECK_EQ(int(kDefault4x4Inter[15]), 34);
    CHECK_EQ(int(kDefault8x8Intra[4]), 11);
    CHECK_EQ(int(kDefault8x8Intra[63]), 42);
    CHECK_EQ(int(kDefault8x8Inter[0]), 9);
    CHECK_EQ(int(kDefault8x8Inter[63]), 35);
    // Each is constant along an anti-diagonal of the block, rising with x + y.
    for (int idx = 1; idx < 16; ++idx) {
        const int a = kZigZag4x4[idx - 1], b = kZigZag4x4[idx];
        const bool same_diagonal = a % 4 + a / 4 == b % 4 + b / 4;
        CHECK(same_diagonal ? kDefault4x4Intra[idx] == kDefault4x4Intra[idx - 1]
                            : kDefault4x4Intra[idx] > kDefault4x4Intra[idx - 1]);
        CHECK(same_diagonal ? kDefault4x4Inter[idx] == kDefault4x4Inter[idx - 1]
                            : kDefault4x4Inter[idx] > kDefault4x4Inter[idx - 1]);
    }
    for (int idx = 1; idx < 64; ++idx) {
        CHECK(kDefault8x8Intra[idx] >= kDefault8x8Intra[idx - 1] || idx == 4);
        CHECK(kDefault8x8Inter[idx] >= kDefault8x8Inter[idx - 1] || idx == 4);
    }
}

// InverseRasterScan(a, b, c, d, e) of 5.7 for e = 0 (x) and e = 1 (y).
int inverse_raster_x(int a, int b, int d) { return (a % (d / b)) * b; }
int inverse_raster_y(int a, int b, int c, int d) { return (a / (d / b)) * c; }

void luma_block_positions_follow_inverse_raster_scan() {
    for (int idx = 0; idx < 16; ++idx) {
        CHECK_EQ(int(kLuma4x4BlockPosition[idx].x), inverse_raster_x(idx / 4, 8, 16) + inverse_raster_x(idx % 4, 4, 8));
        CHECK_EQ(int(kLuma4x4BlockPosition[idx].y),
                 inverse_raster_y(idx / 4, 8, 8, 16) + inverse_raster_y(idx % 4, 4, 4, 8));
    }
}

}  // namespace

int main() {
    scans_are_permutations_with_the_recommendations_entries();
    default_scaling_lists();
    luma_block_positions_follow_inverse_raster_scan();
    return finish("scan_tables_test");
}
