#include "reconstruct/inter_prediction.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

int tap(int a, int b, int c, int d, int e, int f) { return a - 5 * b + 20 * c + 20 * d - 5 * e + f; }

// The unrounded half-sample value between (x, y) and (x + 1, y): b1 of (8-241).
int horizontal_half(const ReferencePlane& r, int x, int y) {
    return tap(r.at(x - 2, y), r.at(x - 1, y), r.at(x, y), r.at(x + 1, y), r.at(x + 2, y), r.at(x + 3, y));
}

// Between (x, y) and (x, y + 1): h1 of (8-242).
int vertical_half(const ReferencePlane& r, int x, int y) {
    return tap(r.at(x, y - 2), r.at(x, y - 1), r.at(x, y), r.at(x, y + 1), r.at(x, y + 2), r.at(x, y + 3));
}

// The centre of the four samples from (x, y): j1 of (8-243), from the unrounded
// half-sample values above and below it.
int centre_half(const ReferencePlane& r, int x, int y) {
    return tap(horizontal_half(r, x, y - 2), horizontal_half(r, x, y - 1), horizontal_half(r, x, y),
               horizontal_half(r, x, y + 1), horizontal_half(r, x, y + 2), horizontal_half(r, x, y + 3));
}

int average(int a, int b) { return (a + b + 1) >> 1; }

// The sample at quarter-sample offset (dx, dy) from full sample (x, y), Table 8-12.
int luma_sample(const ReferencePlane& r, int x, int y, int dx, int dy, int most) {
    const auto clip = [most](int v) { return std::clamp(v, 0, most); };
    const auto b = [&](int row) { return clip((horizontal_half(r, x, row) + 16) >> 5); };
    const auto h = [&](int column) { return clip((vertical_half(r, column, y) + 16) >> 5); };
    const auto j = [&] { return clip((centre_half(r, x, y) + 512) >> 10); };
    switch (dy * 4 + dx) {
        case 0: return r.at(x, y);
        case 1: return average(r.at(x, y), b(y));                // a
        case 2: return b(y);                                     // b
        case 3: return average(r.at(x + 1, y), b(y));            // c
        case 4: return average(r.at(x, y), h(x));                // d
        case 5: return average(b(y), h(x));                      // e
        case 6: return average(b(y), j());                       // f
        case 7: return average(b(y), h(x + 1));                  // g
        case 8: return h(x);                                     // h
        case 9: return average(h(x), j());                       // i
        case 10: return j();                                     // j
        case 11: return average(j(), h(x + 1));                  // k
        case 12: return average(r.at(x, y + 1), h(x));           // n
        case 13: return average(h(x), b(y + 1));                 // p
        case 14: return average(j(), b(y + 1));                  // q
        default: return average(h(x + 1), b(y + 1));             // r
    }
}

}  // namespace

int ReferencePlane::at(int x, int y) const {
    const std::ptrdiff_t row = std::clamp(y, 0, height - 1) * stride;
    const std::ptrdiff_t column = std::clamp(x, 0, width - 1);
    if (bytes_per_sample == 1) {
        return origin[row + column];
    }
    uint16_t sample = 0;
    std::memcpy(&sample, origin + row + 2 * column, sizeof sample);
    return sample;
}

void predict_luma_block(const ReferencePlane& reference, int x, int y, int mv_x, int mv_y, int width, int height,
                        int bit_depth, int32_t* out) {
    const int most = (1 << bit_depth) - 1;
    const int x0 = x + (mv_x >> 2);
    const int y0 = y + (mv_y >> 2);
    for (int row = 0; row < height; ++row) {
        for (int column = 0; column < width; ++column) {
            *out++ = luma_sample(reference, x0 + column, y0 + row, mv_x & 3, mv_y & 3, most);
        }
    }
}

void predict_chroma_block(const ReferencePlane& reference, int x, int y, int mv_x, int mv_y, int width, int height,
                          int chroma_array_type, int32_t* out) {
    const int x0 = x + (mv_x >> 3);
    const int dx = mv_x & 7;
    const int y0 = chroma_array_type == 1 ? y + (mv_y >> 3) : y + (mv_y >> 2);
    const int dy = chroma_array_type == 1 ? mv_y & 7 : (mv_y & 3) << 1;
    for (int row = 0; row < height; ++row) {
        for (int column = 0; column < width; ++column) {
            const int xa = x0 + column;
            const int ya = y0 + row;
            *out++ = ((8 - dx) * (8 - dy) * reference.at(xa, ya) + dx * (8 - dy) * reference.at(xa + 1, ya) +
                      (8 - dx) * dy * reference.at(xa, ya + 1) + dx * dy * reference.at(xa + 1, ya + 1) + 32) >>
                     6;
        }
    }
}

int32_t weigh_sample(int32_t sample, int weight, int offset, int log2_denominator, int bit_depth) {
    const int32_t scaled_offset = offset * (1 << (bit_depth - 8));
    const int32_t weighted = log2_denominator >= 1
                                 ? ((sample * weight + (1 << (log2_denominator - 1))) >> log2_denominator)
                                 : sample * weight;
    return std::clamp(weighted + scaled_offset, 0, (1 << bit_depth) - 1);
}

int32_t bipredict_sample(int32_t sample0, int32_t sample1, const PairWeights& weights, int bit_depth) {
    if (!weights.weighted) {
        return (sample0 + sample1 + 1) >> 1;
    }
    const int log2 = weights.log2_denominator;
    const int32_t offset = ((weights.offset[0] + weights.offset[1]) * (1 << (bit_depth - 8)) + 1) >> 1;
    const int32_t sum = (sample0 * weights.weight[0] + sample1 * weights.weight[1] + (1 << log2)) >> (log2 + 1);
    return std::clamp(sum + offset, 0, (1 << bit_depth) - 1);
}

int dist_scale_factor(int32_t current, int32_t order0, int32_t order1) {
    const int tb = std::clamp(current - order0, -128, 127);
    const int td = std::clamp(order1 - order0, -128, 127);
    const int tx = (16384 + std::abs(td / 2)) / td;
    return std::clamp((tb * tx + 32) >> 6, -1024, 1023);
}
