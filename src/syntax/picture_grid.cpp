#include "syntax/picture_grid.hpp"

#include <algorithm>

void CoefficientPlanes::reset(int width_mbs, int height_mbs, int chroma_format) {
    const int chroma_width = chroma_format == 3 ? 16 : 8;
    const int chroma_height = chroma_format == 1 ? 8 : 16;
    bool same_size = true;
    for (int plane = 0; plane < 3; ++plane) {
        const bool luma = plane == 0;
        const int columns = chroma_format == 0 && !luma ? 0 : width_mbs * (luma ? 16 : chroma_width);
        const int rows = chroma_format == 0 && !luma ? 0 : height_mbs * (luma ? 16 : chroma_height);
        same_size = same_size && columns == width[plane] && rows == height[plane] &&
                    planes[plane].size() == static_cast<std::size_t>(columns) * rows &&
                    blocks_[plane].size() == planes[plane].size() / 4;
        width[plane] = columns;
        height[plane] = rows;
    }
    if (same_size) {
        for (const WrittenBlock& block : written_) {
            int32_t* row = planes[block.plane].data() + block.offset;
            for (int y = 0; y < block.rows; ++y, row += block.stride) {
                std::fill(row, row + block.columns, 0);
            }
            blocks_[block.plane][block.offset / 4] = 0;
        }
    } else {
        for (int plane = 0; plane < 3; ++plane) {
            planes[plane].assign(static_cast<std::size_t>(width[plane]) * height[plane], 0);
            blocks_[plane].assign(planes[plane].size() / 4, 0);
        }
    }
    written_.clear();
}

void CoefficientPlanes::note_written(int plane, const int32_t* origin, int stride, int columns, int rows) {
    const auto offset = static_cast<std::size_t>(origin - planes[plane].data());
    written_.push_back({offset, stride, plane, columns, rows});
    // A DC alone leaves the rest of its block as it was.
    if (columns >= 4) {
        blocks_[plane][offset / 4] = 1;
    }
}

void PictureGrid::reset(int width, int height) {
    width_mbs = width;
    height_mbs = height;
    const std::size_t count = static_cast<std::size_t>(width) * height;
    records.assign(count, MbSyntaxRecord{});
    states.assign(count, MbNeighbourState{});
    slices.clear();
    nonzero_levels = 0;
}
