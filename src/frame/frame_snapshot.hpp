#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/motion_vector.h>
}

#include "ffmpeg/mb_type_log.hpp"
#include "frame/mb_type_map.hpp"
#include "frame/picture_kind.hpp"

// Self-contained copy of one decoded picture. Built in full before anyone can reach it and
// never changed afterwards, so any number of threads may read it while holding a reference,
// and it stays valid after the frame cache has let go of it.
struct FrameSnapshot {
    static constexpr int kMaxPlanes = 3;

    int64_t pts = AV_NOPTS_VALUE;
    int32_t width = 0;
    int32_t height = 0;
    std::string pix_fmt;
    // Plane p starts here and holds linesize[p] * plane_height[p] bytes: the rows as the
    // decoder laid them out, padding at the end of each row included.
    std::array<const uint8_t*, kMaxPlanes> planes{};
    std::array<int32_t, kMaxPlanes> linesize{};
    // In samples, not bytes.
    std::array<int32_t, kMaxPlanes> plane_width{};
    std::array<int32_t, kMaxPlanes> plane_height{};
    // As the pixel format reports it: negative for a format without descriptor.
    int32_t nb_planes = 0;
    int32_t bytes_per_sample = 1;
    // Where the picture's first sample lies in the coded picture: the stream's cropping window
    // as the decoder applied it. Macroblocks and motion vectors are coded on the coded picture.
    int32_t crop_left = 0;
    int32_t crop_top = 0;
    // One value per 16x16 block of the picture, row-major: cell (r, c) holds the QP of the
    // coded macroblock that contains picture sample (16r, 16c) (a shift of the coded grid by
    // the crop's whole macroblocks); the QP on the codec's scale (QpScale), -1 where the
    // decoder reported no block, the frame carried no encoder parameters the map holds, or
    // the decoder reported damage in the picture.
    std::vector<int8_t> qp_map;
    int32_t mb_rows = 0;
    int32_t mb_cols = 0;
    int32_t chroma_qp_offset_cb = 0;
    int32_t chroma_qp_offset_cr = 0;
    PictureKind kind;
    // Empty where the session does not export them, and for pictures without inter blocks.
    std::vector<AVMotionVector> motion_vectors;
    // How each macroblock was coded, on the QP map's grid, where the session captures it.
    MbTypeMap mb_types;
    // The decoder's picture buffers behind `planes`, shared rather than copied: a decoder
    // never writes into a buffer that anyone else still references, so the planes stay as
    // decoded for as long as the snapshot lives, whatever the session decodes meanwhile.
    std::shared_ptr<const AVFrame> picture;
    // Stands in for a plane that the decoder left without data.
    std::vector<uint8_t> blank;
    // Whether planes were taken at all: a snapshot made for its QP map and offsets only has
    // the facts above but neither planes nor picture.
    bool has_pixels = false;

    std::size_t plane_size(int plane) const {
        return static_cast<std::size_t>(linesize[plane]) * static_cast<std::size_t>(plane_height[plane]);
    }

    // Planes that may be read: the pixel format's, but never more than the record holds.
    int32_t readable_planes() const { return nb_planes < kMaxPlanes ? nb_planes : kMaxPlanes; }

    // Memory the snapshot keeps alive: its share of the decoder's buffers, its own map and
    // vectors.
    std::size_t byte_size() const {
        std::size_t bytes = qp_map.size() + motion_vectors.size() * sizeof(AVMotionVector) +
                            mb_types.cells.size() * sizeof(MacroblockCoding);
        for (int p = 0; p < readable_planes(); ++p) {
            bytes += plane_size(p);
        }
        return bytes;
    }
};

// Snapshots a decoded frame identified by `pts`, its planes only `with_pixels`, with the
// macroblock types its decoder printed for it; the caller keeps ownership of `frame`.
std::shared_ptr<FrameSnapshot> build_frame_snapshot(const AVFrame* frame, int64_t pts, bool with_pixels,
                                                const MbTypeRows& mb_types = {});
