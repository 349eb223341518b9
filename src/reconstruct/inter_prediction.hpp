#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "syntax/reference_syntax.hpp"

// One plane of a reference picture as the decoder holds it, from the first sample of its
// coded plane; samples outside the coded size read as the nearest edge sample, as the
// decoder pads its references (8.4.2.2.1, 8.4.2.2.2).
struct ReferencePlane {
    const uint8_t* origin = nullptr;
    // In bytes.
    std::ptrdiff_t stride = 0;
    int width = 0;
    int height = 0;
    int bytes_per_sample = 1;

    int at(int x, int y) const;
};

struct ReferencePicture {
    ReferencePlane planes[3];
    // Added to the vertical component of 4:2:0 chroma vectors: a field of the other parity
    // than the current field's lies a quarter of a chroma row of the field above (-2, a
    // bottom field seen from a top field) or below (+2) where the vector points (Table 8-9).
    int chroma_vertical_offset = 0;
};

// A slice's lists 0 and 1 of reference pictures, null where an index names none.
using PictureLists = std::array<std::vector<const ReferencePicture*>, 2>;

// The `width` x `height` luma samples (or those of a 4:4:4 chroma plane) predicted for the
// block whose top left sample is (x, y), displaced by the vector (mv_x, mv_y) in quarter
// samples: the 6-tap half-sample filter and the averages of 8.4.2.2.1, into `out` row by row.
void predict_luma_block(const ReferencePlane& reference, int x, int y, int mv_x, int mv_y, int width, int height,
                        int bit_depth, int32_t* out);

// The same for a 4:2:0 or 4:2:2 chroma block at chroma sample (x, y) with the luma vector of
// its partition: eighth-sample bilinear interpolation (8.4.2.2.2), the vertical component in
// eighths of a chroma sample for 4:2:0 and in quarters for 4:2:2.
void predict_chroma_block(const ReferencePlane& reference, int x, int y, int mv_x, int mv_y, int width, int height,
                          int chroma_array_type, int32_t* out);

// Explicit weighted sample prediction of one list (8.4.2.3.2): the sample weighted, rounded,
// offset (the offset scaled to the bit depth) and clipped.
int32_t weigh_sample(int32_t sample, int weight, int offset, int log2_denominator, int bit_depth);

// How the samples predicted from lists 0 and 1 make one (8.4.2.3): `weighted` false for
// the default average, else the weights, offsets (unscaled) and denominator of explicit or
// implicit weighted prediction.
struct PairWeights {
    bool weighted = false;
    int log2_denominator = 0;
    int weight[2] = {1, 1};
    int offset[2] = {0, 0};
};

// A bi-predicted sample: the rounded average (8.4.2.3.1) or the weighted sum (8.4.2.3.2),
// clipped.
int32_t bipredict_sample(int32_t sample0, int32_t sample1, const PairWeights& weights, int bit_depth);

// DistScaleFactor (8.4.1.2.3) of a picture with order count `current` between the pictures
// with order counts `order0` and `order1`: tb/td in 1/256ths, clipped.
int dist_scale_factor(int32_t current, int32_t order0, int32_t order1);
