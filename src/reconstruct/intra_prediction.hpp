#pragma once

#include <cstdint>

// The samples beside a block that intra prediction reads (8.3), as reconstructed before the
// loop filter: p[x, -1] for x from -1 to 2N - 1 and p[-1, y] for y from 0 to N - 1, and which
// of them are available. Above-right samples that are not available must already be
// replaced by p[N - 1, -1] where the row above is.
struct IntraNeighbours {
    // top[0] is p[-1, -1]; top[1 + x] is p[x, -1].
    int32_t top[33];
    int32_t left[16];
    bool has_top = false;
    bool has_left = false;
    bool has_corner = false;

    int32_t above(int x) const { return top[1 + x]; }
    int32_t beside(int y) const { return y < 0 ? top[0] : left[y]; }
};

// Intra_4x4 (8.3.1.2) and Intra_8x8 (8.3.2.2) prediction of an n x n block (n 4 or 8) by
// `mode` (0 to 8), into `out` in raster order.
void predict_nxn(int mode, int n, const IntraNeighbours& p, int bit_depth, int32_t* out);

// 8.3.2.2.1: the reference samples of an 8x8 block, low-pass filtered.
void filter_8x8_references(IntraNeighbours& p);

// Intra_16x16 (8.3.3) of a 16x16 block and the chroma prediction (8.3.4) of a `width` x
// `height` block (8x8, 8x16): `chroma` selects the chroma mode numbering (0 DC, 1
// horizontal, 2 vertical, 3 plane) and its DC rules per 4x4 block.
void predict_16x16(int mode, const IntraNeighbours& p, int bit_depth, int32_t* out);
void predict_chroma(int mode, int width, int height, const IntraNeighbours& p, int bit_depth, int32_t* out);
