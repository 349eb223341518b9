#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "decode/decode_run.hpp"
#include "ffmpeg/session_options.hpp"
#include "ffmpeg/video_input.hpp"
#include "frame/cached_frame.hpp"
#include "index/stream_index.hpp"

// One picture a batch asked for, as the frame methods would see it.
struct DecodedPicture {
    int32_t frame;
    std::shared_ptr<CachedFrame> snapshot;
};

// Called from the workers' threads, at most once per frame and never twice at the same time
// for the same frame.
using PictureSink = std::function<void(const DecodedPicture&)>;

// The frames of a batch that decoding from one key packet gives: `count` frame numbers in
// ascending order, each with the flag that records whether it was delivered.
struct DecodingUnit {
    int32_t start_packet;
    const int32_t* frames;
    uint8_t* delivered;
    std::size_t count;

    // Where in the unit this frame is, if the unit still waits for it; else -1.
    int32_t waiting_slot(int32_t frame) const;
};

// A demuxer and a single-threaded decoder of the indexed file, opened as the session opens
// its own, owned by one thread of a batch for its whole life. It follows the session's rules
// for where decoding of a frame begins, so that every picture it delivers is the one the
// frame methods give.
class BatchWorker {
public:
    // Opens the file. Probing changes FFmpeg's process-wide log level for a moment, so
    // workers are opened one at a time.
    // `with_pixels`: whether the pictures delivered keep their planes, or only what the QP
    // maps and frame facts need.
    BatchWorker(std::shared_ptr<const StreamIndex> index, const SessionOptions& options, bool with_pixels);

    void decode_unit(const DecodingUnit& unit, const PictureSink& sink);

private:
    void decode_unit_from(int32_t key_packet, const DecodingUnit& unit, std::size_t& missing, const PictureSink& sink);

    const std::shared_ptr<const StreamIndex> index_;
    const bool with_pixels_;
    VideoInput input_;
    DecodeRun run_;
};
