#include "frame/motion_vector_field.hpp"

#include <algorithm>
#include <limits>
#include <utility>

namespace {

constexpr int kBlockSize = 4;
constexpr int kQuarterPixels = 4;

int floor_div(int value, int divisor) { return value >= 0 ? value / divisor : -((-value + divisor - 1) / divisor); }

int16_t in_quarter_pixels(int32_t motion, uint16_t scale) {
    const int64_t quarters = static_cast<int64_t>(motion) * kQuarterPixels / scale;
    return static_cast<int16_t>(std::clamp<int64_t>(quarters, std::numeric_limits<int16_t>::min(),
                                                    std::numeric_limits<int16_t>::max()));
}

// First and one-past-last block index, within 0..count, of the span [centre - size/2, +size).
std::pair<int, int> covered_blocks(int centre, int size, int count) {
    const int start = centre - size / 2;
    const int first = std::max(floor_div(start, kBlockSize), 0);
    const int last = std::min(floor_div(start + size - 1, kBlockSize) + 1, count);
    return {first, last};
}

}  // namespace

std::size_t motion_field_size(int32_t rows, int32_t columns) {
    return std::size_t{4} * static_cast<std::size_t>(std::max(rows, 0)) * static_cast<std::size_t>(std::max(columns, 0));
}

void fill_motion_field(const std::vector<AVMotionVector>& vectors, int32_t rows, int32_t columns, int16_t* field,
                       int32_t origin_x, int32_t origin_y) {
    const std::size_t plane = static_cast<std::size_t>(rows) * static_cast<std::size_t>(columns);
    std::fill(field, field + motion_field_size(rows, columns), int16_t{0});
    for (const AVMotionVector& vector : vectors) {
        if (vector.motion_scale == 0) {
            continue;
        }
        const std::size_t direction = vector.source > 0 ? 1 : 0;
        int16_t* x_plane = field + (2 * direction) * plane;
        int16_t* y_plane = x_plane + plane;
        const int16_t motion_x = in_quarter_pixels(vector.motion_x, vector.motion_scale);
        const int16_t motion_y = in_quarter_pixels(vector.motion_y, vector.motion_scale);
        const auto [first_row, end_row] = covered_blocks(vector.dst_y - origin_y, vector.h, rows);
        const auto [first_column, end_column] = covered_blocks(vector.dst_x - origin_x, vector.w, columns);
        for (int row = first_row; row < end_row; ++row) {
            const std::size_t offset = static_cast<std::size_t>(row) * static_cast<std::size_t>(columns);
            for (int column = first_column; column < end_column; ++column) {
                x_plane[offset + column] = motion_x;
                y_plane[offset + column] = motion_y;
            }
        }
    }
}
