#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" {
#include <libavutil/motion_vector.h>
}

// The motion vectors spread over a grid of 4x4 luma blocks, `rows` by `columns`, as int16 in
// quarter pixels, laid out [direction: past, future][component: x, y][row][column]: every
// block a vector's rectangle covers takes that vector, every other block 0. The vectors'
// positions are on the coded picture; (origin_x, origin_y) is where the field's first block
// lies on it (the cropping window's corner). `field` holds motion_field_size(rows, columns)
// values and is overwritten.
std::size_t motion_field_size(int32_t rows, int32_t columns);
void fill_motion_field(const std::vector<AVMotionVector>& vectors, int32_t rows, int32_t columns, int16_t* field,
                       int32_t origin_x = 0, int32_t origin_y = 0);
