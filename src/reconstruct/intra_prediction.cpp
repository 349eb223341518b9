#include "reconstruct/intra_prediction.hpp"

#include <algorithm>

namespace {

int32_t clip(int32_t value, int bit_depth) { return std::clamp(value, 0, (1 << bit_depth) - 1); }

int32_t filter3(int32_t a, int32_t b, int32_t c) { return (a + 2 * b + c + 2) >> 2; }

int32_t sum_top(const IntraNeighbours& p, int from, int count) {
    int32_t sum = 0;
    for (int x = from; x < from + count; ++x) {
        sum += p.above(x);
    }
    return sum;
}

int32_t sum_left(const IntraNeighbours& p, int from, int count) {
    int32_t sum = 0;
    for (int y = from; y < from + count; ++y) {
        sum += p.left[y];
    }
    return sum;
}

// DC of an n x n block with n = 1 << log2: both sides, one, or the middle of the range.
int32_t dc_value(const IntraNeighbours& p, int n, int log2, int bit_depth) {
    if (p.has_top && p.has_left) {
        return (sum_top(p, 0, n) + sum_left(p, 0, n) + n) >> (log2 + 1);
    }
    if (p.has_left) {
        return (sum_left(p, 0, n) + n / 2) >> log2;
    }
    if (p.has_top) {
        return (sum_top(p, 0, n) + n / 2) >> log2;
    }
    return 1 << (bit_depth - 1);
}

// The directional modes 3 to 8 of Intra_4x4 and Intra_8x8 at sample (x, y).
int32_t directional(int mode, int n, const IntraNeighbours& p, int x, int y) {
    switch (mode) {
        case 3:  // Diagonal_Down_Left
            if (x == n - 1 && y == n - 1) {
                return (p.above(2 * n - 2) + 3 * p.above(2 * n - 1) + 2) >> 2;
            }
            return filter3(p.above(x + y), p.above(x + y + 1), p.above(x + y + 2));
        case 4:  // Diagonal_Down_Right
            if (x > y) {
                return filter3(p.above(x - y - 2), p.above(x - y - 1), p.above(x - y));
            }
            if (x < y) {
                return filter3(p.beside(y - x - 2), p.beside(y - x - 1), p.beside(y - x));
            }
            return filter3(p.above(0), p.top[0], p.left[0]);
        case 5: {  // Vertical_Right
            const int z = 2 * x - y;
            if (z >= 0 && z % 2 == 0) {
                return (p.above(x - (y >> 1) - 1) + p.above(x - (y >> 1)) + 1) >> 1;
            }
            if (z > 0) {
                return filter3(p.above(x - (y >> 1) - 2), p.above(x - (y >> 1) - 1), p.above(x - (y >> 1)));
            }
            if (z == -1) {
                return filter3(p.left[0], p.top[0], p.above(0));
            }
            return filter3(p.beside(y - 2 * x - 1), p.beside(y - 2 * x - 2), p.beside(y - 2 * x - 3));
        }
        case 6: {  // Horizontal_Down
            const int z = 2 * y - x;
            if (z >= 0 && z % 2 == 0) {
                return (p.beside(y - (x >> 1) - 1) + p.beside(y - (x >> 1)) + 1) >> 1;
            }
            if (z > 0) {
                return filter3(p.beside(y - (x >> 1) - 2), p.beside(y - (x >> 1) - 1), p.beside(y - (x >> 1)));
            }
            if (z == -1) {
                return filter3(p.left[0], p.top[0], p.above(0));
            }
            return filter3(p.above(x - 2 * y - 1), p.above(x - 2 * y - 2), p.above(x - 2 * y - 3));
        }
        case 7:  // Vertical_Left
            if (y % 2 == 0) {
                return (p.above(x + (y >> 1)) + p.above(x + (y >> 1) + 1) + 1) >> 1;
            }
            return filter3(p.above(x + (y >> 1)), p.above(x + (y >> 1) + 1), p.above(x + (y >> 1) + 2));
        default: {  // Horizontal_Up
            const int z = x + 2 * y;
            if (z > 2 * n - 3) {
                return p.left[n - 1];
            }
            if (z == 2 * n - 3) {
                return (p.left[n - 2] + 3 * p.left[n - 1] + 2) >> 2;
            }
            if (z % 2 == 0) {
                return (p.left[y + (x >> 1)] + p.left[y + (x >> 1) + 1] + 1) >> 1;
            }
            return filter3(p.left[y + (x >> 1)], p.left[y + (x >> 1) + 1], p.left[y + (x >> 1) + 2]);
        }
    }
}

// The plane mode of 8-152 and 8-167: a + b (x - cx) + c (y - cy) with the slopes taken over
// `half_w` and `half_h` sample pairs either side of the block's middle.
void predict_plane(const IntraNeighbours& p, int width, int height, int scale_w, int scale_h, int bit_depth,
                   int32_t* out) {
    const int half_w = width / 2;
    const int half_h = height / 2;
    int32_t h = 0;
    for (int x = 0; x < half_w; ++x) {
        h += (x + 1) * (p.above(half_w + x) - p.above(half_w - 2 - x));
    }
    int32_t v = 0;
    for (int y = 0; y < half_h; ++y) {
        v += (y + 1) * (p.left[half_h + y] - p.beside(half_h - 2 - y));
    }
    const int32_t a = 16 * (p.left[height - 1] + p.above(width - 1));
    const int32_t b = (scale_w * h + 32) >> 6;
    const int32_t c = (scale_h * v + 32) >> 6;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            out[y * width + x] = clip((a + b * (x - half_w + 1) + c * (y - half_h + 1) + 16) >> 5, bit_depth);
        }
    }
}

void fill(int32_t* out, int count, int32_t value) { std::fill(out, out + count, value); }

void predict_vertical(const IntraNeighbours& p, int width, int height, int32_t* out) {
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            out[y * width + x] = p.above(x);
        }
    }
}

void predict_horizontal(const IntraNeighbours& p, int width, int height, int32_t* out) {
    for (int y = 0; y < height; ++y) {
        fill(out + y * width, width, p.left[y]);
    }
}

// 8.3.4.1-3: the DC of the chroma 4x4 block at (x0, y0), which prefers the side it touches.
int32_t chroma_dc(const IntraNeighbours& p, int x0, int y0, int bit_depth) {
    const bool prefer_top = x0 > 0 && y0 == 0;
    const bool prefer_left = x0 == 0 && y0 > 0;
    if (!prefer_top && !prefer_left && p.has_top && p.has_left) {
        return (sum_top(p, x0, 4) + sum_left(p, y0, 4) + 4) >> 3;
    }
    if (!prefer_top && p.has_left) {
        return (sum_left(p, y0, 4) + 2) >> 2;
    }
    if (p.has_top) {
        return (sum_top(p, x0, 4) + 2) >> 2;
    }
    if (p.has_left) {
        return (sum_left(p, y0, 4) + 2) >> 2;
    }
    return 1 << (bit_depth - 1);
}

}  // namespace

void predict_nxn(int mode, int n, const IntraNeighbours& p, int bit_depth, int32_t* out) {
    if (mode == 0) {
        predict_vertical(p, n, n, out);
    } else if (mode == 1) {
        predict_horizontal(p, n, n, out);
    } else if (mode == 2) {
        fill(out, n * n, dc_value(p, n, n == 4 ? 2 : 3, bit_depth));
    } else {
        for (int y = 0; y < n; ++y) {
            for (int x = 0; x < n; ++x) {
                out[y * n + x] = directional(mode, n, p, x, y);
            }
        }
    }
}

void filter_8x8_references(IntraNeighbours& p) {
    const IntraNeighbours q = p;
    if (q.has_top) {
        p.top[1] = q.has_corner ? filter3(q.top[0], q.above(0), q.above(1)) : (3 * q.above(0) + q.above(1) + 2) >> 2;
        for (int x = 1; x < 15; ++x) {
            p.top[1 + x] = filter3(q.above(x - 1), q.above(x), q.above(x + 1));
        }
        p.top[16] = (q.above(14) + 3 * q.above(15) + 2) >> 2;
    }
    if (q.has_corner) {
        if (q.has_top && q.has_left) {
            p.top[0] = filter3(q.above(0), q.top[0], q.left[0]);
        } else if (q.has_top) {
            p.top[0] = (3 * q.top[0] + q.above(0) + 2) >> 2;
        } else if (q.has_left) {
            p.top[0] = (3 * q.top[0] + q.left[0] + 2) >> 2;
        }
    }
    if (q.has_left) {
        p.left[0] = q.has_corner ? filter3(q.top[0], q.left[0], q.left[1]) : (3 * q.left[0] + q.left[1] + 2) >> 2;
        for (int y = 1; y < 7; ++y) {
            p.left[y] = filter3(q.left[y - 1], q.left[y], q.left[y + 1]);
        }
        p.left[7] = (q.left[6] + 3 * q.left[7] + 2) >> 2;
    }
}

void predict_16x16(int mode, const IntraNeighbours& p, int bit_depth, int32_t* out) {
    switch (mode) {
        case 0:
            predict_vertical(p, 16, 16, out);
            break;
        case 1:
            predict_horizontal(p, 16, 16, out);
            break;
        case 2:
            fill(out, 256, dc_value(p, 16, 4, bit_depth));
            break;
        default:
            predict_plane(p, 16, 16, 5, 5, bit_depth, out);
    }
}

void predict_chroma(int mode, int width, int height, const IntraNeighbours& p, int bit_depth, int32_t* out) {
    switch (mode) {
        case 0:
            for (int y0 = 0; y0 < height; y0 += 4) {
                for (int x0 = 0; x0 < width; x0 += 4) {
                    const int32_t dc = chroma_dc(p, x0, y0, bit_depth);
                    for (int y = y0; y < y0 + 4; ++y) {
                        fill(out + y * width + x0, 4, dc);
                    }
                }
            }
            break;
        case 1:
            predict_horizontal(p, width, height, out);
            break;
        case 2:
            predict_vertical(p, width, height, out);
            break;
        default:
            predict_plane(p, width, height, width == 16 ? 5 : 34, height == 16 ? 5 : 34, bit_depth, out);
    }
}
