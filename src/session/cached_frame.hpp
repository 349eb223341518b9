#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
}

// Self-contained copy of one decoded picture. Built in full before anyone can reach it and
// never changed afterwards, so any number of threads may read it while holding a reference,
// and it stays valid after the frame cache has let go of it.
struct CachedFrame {
    static constexpr int kMaxPlanes = 3;

    int64_t pts = AV_NOPTS_VALUE;
    int32_t width = 0;
    int32_t height = 0;
    std::string pix_fmt;
    // Rows exactly as the decoder laid them out, padding at the end of each row included.
    std::array<std::vector<uint8_t>, kMaxPlanes> planes;
    std::array<int32_t, kMaxPlanes> linesize{};
    // In samples, not bytes.
    std::array<int32_t, kMaxPlanes> plane_width{};
    std::array<int32_t, kMaxPlanes> plane_height{};
    // As the pixel format reports it: negative for a format without descriptor.
    int32_t nb_planes = 0;
    int32_t bytes_per_sample = 1;
    // One value per 16x16 macroblock, row-major: 0..63 the block's QP, -1 where the
    // decoder reported no block, the frame carried no encoder parameters or the decoder
    // reported damage in the picture.
    std::vector<int8_t> qp_map;
    int32_t mb_rows = 0;
    int32_t mb_cols = 0;
    int32_t chroma_qp_offset_cb = 0;
    int32_t chroma_qp_offset_cr = 0;

    // Planes that may be read: the pixel format's, but never more than the record holds.
    int32_t readable_planes() const { return nb_planes < kMaxPlanes ? nb_planes : kMaxPlanes; }

    std::size_t byte_size() const {
        return planes[0].size() + planes[1].size() + planes[2].size() + qp_map.size();
    }
};

// Snapshots a decoded frame identified by `pts`; the caller keeps ownership of `frame`.
std::shared_ptr<CachedFrame> build_cached_frame(const AVFrame* frame, int64_t pts);
