#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ffmpeg/session_options.hpp"
#include "frame/mb_type_map.hpp"
#include "index/stream_index.hpp"

// One row per requested frame, in the order requested: what the scan knows of it and what
// its picture shows. A frame the decoder does not produce keeps the scan's columns, with
// `decoded` 0, picture type '\0', no key flag, no QP, zero offsets and no damage.
struct FrameStatsTable {
    std::vector<int32_t> frame;
    // In StreamIndex::pts_time_base() units.
    std::vector<int64_t> pts;
    // pts in seconds.
    std::vector<double> seconds;
    std::vector<std::string> picture_type;
    std::vector<uint8_t> key_frame;
    // Compressed bytes of the packets whose data makes the frame (both fields of a pair).
    std::vector<int64_t> packet_bytes;
    // Over the macroblocks that have a QP; NaN and -1 where none has.
    std::vector<double> qp_mean;
    std::vector<int8_t> qp_min;
    std::vector<int8_t> qp_max;
    std::vector<int32_t> chroma_qp_offset_cb;
    std::vector<int32_t> chroma_qp_offset_cr;
    std::vector<uint8_t> decoded;
    // Whether the decoder reported the picture damaged (PictureKind::damaged).
    std::vector<uint8_t> damaged;
    // Macroblocks of each kind, where the session captures macroblock types: intra (any
    // intra type), skip (P and B skip), direct (B direct with residual) and inter (motion
    // coded from list 0, list 1 or both); -1 where the frame has none (not decoded, damaged).
    // Empty where the session does not capture them.
    std::vector<int32_t> mb_intra;
    std::vector<int32_t> mb_skip;
    std::vector<int32_t> mb_direct;
    std::vector<int32_t> mb_inter;
};

// The kinds of macroblock the counts of the table tell apart; None for MbType::Unknown.
enum class CountedKind { Intra, Skip, Direct, Inter, None };
CountedKind counted_kind(MbType type);

// Compressed bytes of the packets whose data makes each frame of the file (both fields of a
// pair), by frame number.
std::vector<int64_t> frame_packet_bytes(const StreamIndex& index);

// Decodes the frames as decode_batch does, with the same `threads`; `frames` are valid frame
// numbers, repeats allowed. std::runtime_error for a frame whose macroblock types could not
// be had in a session that captures them.
FrameStatsTable collect_frame_stats(const std::shared_ptr<const StreamIndex>& index, const SessionOptions& options,
                                    const std::vector<int32_t>& frames, int threads);
