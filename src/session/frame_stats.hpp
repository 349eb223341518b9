#pragma once

#include <cstdint>
#include <vector>

#include "h264_decoder_session.hpp"

// One row per frame of the session's file, in frame order: what the scan knows of it and what
// its picture shows. A frame the decoder does not produce keeps the scan's columns, with
// `decoded` 0, picture type '\0', no key flag, no QP and zero offsets.
struct FrameStatsTable {
    std::vector<int32_t> frame;
    std::vector<int64_t> pts;
    std::vector<double> seconds;
    std::vector<char> picture_type;
    std::vector<uint8_t> key_frame;
    // Compressed bytes of the packets that carry the frame's timestamp.
    std::vector<int64_t> packet_bytes;
    // Over the macroblocks that have a QP; NaN and -1 where none has.
    std::vector<double> qp_mean;
    std::vector<int8_t> qp_min;
    std::vector<int8_t> qp_max;
    std::vector<int32_t> chroma_qp_offset_cb;
    std::vector<int32_t> chroma_qp_offset_cr;
    std::vector<uint8_t> decoded;
};

// Decodes every frame as decode_batch does, with the same `threads`.
FrameStatsTable collect_frame_stats(const H264DecoderSession& session, int threads);
