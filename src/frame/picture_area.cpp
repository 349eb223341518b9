#include "frame/picture_area.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace {

int64_t ceil_shift(int64_t value, int shift) { return -((-value) >> shift); }

[[noreturn]] void no_such_plane(int32_t plane, int planes, const std::string& pix_fmt) {
    throw std::out_of_range("Invalid plane index: " + std::to_string(plane) + " (plane takes 0 to " +
                            std::to_string(planes - 1) + " for " + pix_fmt + ")");
}

}  // namespace

PlaneShape plane_shape(const StreamFacts& facts, int32_t plane) {
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(facts.pixel_format);
    const int planes = desc ? std::min(av_pix_fmt_count_planes(facts.pixel_format), FrameSnapshot::kMaxPlanes) : 0;
    if (plane < 0 || plane >= planes) {
        no_such_plane(plane, planes, facts.pix_fmt);
    }
    if (plane == 0) {
        return PlaneShape{facts.height, facts.width};
    }
    return PlaneShape{ceil_shift(facts.height, desc->log2_chroma_h), ceil_shift(facts.width, desc->log2_chroma_w)};
}

void check_plane(const FrameSnapshot& frame, int32_t plane) {
    if (plane < 0 || plane >= frame.readable_planes()) {
        no_such_plane(plane, frame.readable_planes(), frame.pix_fmt);
    }
}

void check_fits(const StreamFacts& facts, const FrameSnapshot& frame, int32_t frame_idx) {
    if (frame.width != facts.width || frame.height != facts.height || frame.pix_fmt != facts.pix_fmt) {
        throw std::invalid_argument("Frame " + std::to_string(frame_idx) + " is " + std::to_string(frame.width) + "x" +
                                    std::to_string(frame.height) + " " + frame.pix_fmt + ", not " +
                                    std::to_string(facts.width) + "x" + std::to_string(facts.height) + " " +
                                    facts.pix_fmt + " like the session");
    }
}

void copy_picture_rows(const FrameSnapshot& frame, int32_t plane, uint8_t* destination, int64_t stride) {
    const int64_t picture_row = static_cast<int64_t>(frame.plane_width[plane]) * frame.bytes_per_sample;
    const int64_t row_length = std::min({picture_row, stride, static_cast<int64_t>(frame.linesize[plane])});
    if (row_length <= 0) {
        return;
    }
    const uint8_t* source = frame.planes[plane];
    for (int64_t row = 0; row < frame.plane_height[plane]; ++row) {
        std::memcpy(destination + row * stride, source + row * frame.linesize[plane],
                    static_cast<std::size_t>(row_length));
    }
}

void copy_rows_with_padding(const FrameSnapshot& frame, int32_t plane, uint8_t* destination, std::size_t capacity) {
    const auto linesize = static_cast<std::size_t>(frame.linesize[plane]);
    const std::size_t size = std::min(frame.plane_size(plane), capacity);
    if (size == 0 || linesize == 0) {
        return;
    }
    std::memcpy(destination, frame.planes[plane], size);
    const std::size_t picture_row =
        std::min(static_cast<std::size_t>(frame.plane_width[plane]) * static_cast<std::size_t>(frame.bytes_per_sample),
                 linesize);
    for (std::size_t row_start = 0; row_start < size; row_start += linesize) {
        const std::size_t row_end = std::min(row_start + linesize, size);
        if (row_start + picture_row < row_end) {
            std::memset(destination + row_start + picture_row, 0, row_end - row_start - picture_row);
        }
    }
}
