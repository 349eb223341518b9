#include "syntax/picture_grid.hpp"

void CoefficientPlanes::reset(int width_mbs, int height_mbs, int chroma_format) {
    const int chroma_width = chroma_format == 3 ? 16 : 8;
    const int chroma_height = chroma_format == 1 ? 8 : 16;
    for (int plane = 0; plane < 3; ++plane) {
        const bool luma = plane == 0;
        width[plane] = chroma_format == 0 && !luma ? 0 : width_mbs * (luma ? 16 : chroma_width);
        height[plane] = chroma_format == 0 && !luma ? 0 : height_mbs * (luma ? 16 : chroma_height);
        planes[plane].assign(static_cast<std::size_t>(width[plane]) * height[plane], 0);
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
