#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "h264_decoder_session.hpp"

// One row per requested frame, in the order requested: what the scan knows of it and what
// its picture shows. A frame the decoder does not produce keeps the scan's columns, with
// `decoded` 0, picture type '\0', no key flag, no QP and zero offsets.
struct FrameStatsTable {
    std::vector<int32_t> frame;
    std::vector<int64_t> pts;
    std::vector<double> seconds;
    std::vector<std::string> picture_type;
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

// Decodes the frames as decode_batch does, with the same `threads`; `frames` are valid frame
// numbers, repeats allowed.
FrameStatsTable collect_frame_stats(const H264DecoderSession& session, const std::vector<int32_t>& frames,
                                    int threads);

// The first frame of each run of frames that decoding starts from the same key packet: where
// a frame range may be cut so that no key-frame interval is decoded twice.
std::vector<int32_t> interval_starts(const H264DecoderSession& session);
