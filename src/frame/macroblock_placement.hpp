#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "ffmpeg/cropping.hpp"

// Where a macroblock the decoder coded lands in a snapshot's per-macroblock maps. Every map
// (QP, macroblock types) places its values through the same cell_of, so that cell (r, c)
// of each describes the same macroblock whatever the picture's cropping or structure.
struct MacroblockPlacement {
    // The maps' grid.
    int32_t rows = 0;
    int32_t cols = 0;
    // The decoder's macroblocks above and to the left of the picture: those that a crop
    // takes away whole.
    int32_t skipped_rows = 0;
    int32_t skipped_cols = 0;

    std::size_t cells() const { return static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols); }

    // Row-major index of the cell of the macroblock at column mb_x, row mb_y of the decoder's
    // own grid; nullopt where that macroblock lies outside the maps.
    std::optional<std::size_t> cell_of(int32_t mb_x, int32_t mb_y) const;
};

// The 16x16 macroblocks that cover the picture where the crop puts it in the coded picture.
MacroblockPlacement macroblock_placement(const CropOffsets& crop);
