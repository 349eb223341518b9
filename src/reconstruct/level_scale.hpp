#pragma once

#include <array>
#include <cstdint>

#include "syntax/parameter_syntax.hpp"

// LevelScale4x4 and LevelScale8x8 (8.5.9) of every scaling list and every qP % 6, worked out
// once per picture from the weights in force, each table in raster order (8 * y + x).
struct LevelScale {
    // By list: intra Y, Cb, Cr, then inter Y, Cb, Cr.
    std::array<std::array<std::array<int32_t, 16>, 6>, 6> scale_4x4{};
    // By list: intra Y, inter Y, intra Cb, inter Cb, intra Cr, inter Cr.
    std::array<std::array<std::array<int32_t, 64>, 6>, 6> scale_8x8{};

    // From the lists in force for the picture.
    void derive(const PictureSyntax& picture);
};

// The list of a block of `plane` (0 Y, 1 Cb, 2 Cr) in an intra or inter macroblock.
inline int list_4x4(int plane, bool intra) { return plane + (intra ? 0 : 3); }
inline int list_8x8(int plane, bool intra) { return 2 * plane + (intra ? 0 : 1); }

// QP'C of the chroma component (0 Cb, 1 Cr) of a macroblock whose QP'Y is `qp_y_prime`
// (8.5.8, Table 8-15).
int chroma_qp_prime(int qp_y_prime, int component, const SequenceSyntax& sequence, const PictureSyntax& picture);
