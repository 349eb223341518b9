#pragma once

#include <cstdint>
#include <memory>

extern "C" {
#include <libavutil/frame.h>
}

#include "cache_policy.hpp"
#include "decode/decode_run.hpp"
#include "decode/loop_filter_switch.hpp"
#include "ffmpeg/session_options.hpp"
#include "ffmpeg/video_input.hpp"
#include "frame/frame_snapshot.hpp"
#include "frame_cache.hpp"
#include "index/stream_index.hpp"

// The frames of one file by number, from one demuxer and decoder: the frame cache where it
// has them, else the decoder, which decodes forward instead of seeking when the requested
// frame lies a little ahead, in the same key-frame interval or in one whose key packet it has
// already taken. Every picture decoded on the way that does not depend on where decoding
// began is cached, with its pixels where the request that decoded it wanted them; which of
// the unreferenced pictures before the requested frame are decoded for the cache depends on
// the pattern of requests (RequestPattern). A frame's picture is the one decoding from its
// own key packet gives, whatever was asked for before. The loop filter follows the
// deblocking mode (LoopFilterSwitch says how "exact" keeps that promise).
//
// Uses the input's demuxer and decoder alone. Not thread-safe: the session's lock serialises
// every call.
class FrameRetrieval {
public:
    FrameRetrieval(VideoInput& input, std::shared_ptr<const StreamIndex> index, DeblockingMode deblocking);
    FrameRetrieval(const FrameRetrieval&) = delete;
    FrameRetrieval& operator=(const FrameRetrieval&) = delete;

    // Takes every request, before it is answered, cache hits included.
    void note_request(int32_t index) { request_pattern_.note_request(index); }
    // Whether the requests move forward, as a loop over the frames does.
    bool requests_move_forward() const { return request_pattern_.moves_forward(); }

    // The frame's snapshot where the cache has it with what the request needs; else null.
    std::shared_ptr<FrameSnapshot> cached(int32_t index, bool needs_pixels) const {
        return cache_.find(index, needs_pixels);
    }
    // Caches a snapshot decoded on another decoder (the read-ahead's) as if decoded here.
    void keep(int32_t index, std::shared_ptr<FrameSnapshot> snapshot) { cache_.insert(index, std::move(snapshot)); }
    // Lets go of every cached snapshot.
    void drop_cache() { cache_ = FrameCache{}; }

    // Decodes the frame (0..num_frames-1); std::runtime_error when the decoder does not
    // produce it. Without needs_pixels the snapshot may hold the QP map and offsets only.
    std::shared_ptr<FrameSnapshot> decode(int32_t index, bool needs_pixels);

    // Seeks since opening, for tests and diagnostics of the cache's policy.
    int64_t seek_count() const { return seeks_; }

private:
    // The frame a run of decoding is for; with last_resort, its picture is taken even when it
    // depends on where the run began.
    struct Target {
        int32_t index;
        bool needs_pixels;
        bool last_resort;
    };

    bool can_decode_forward(int32_t index) const;
    void seek_to_packet(int32_t packet);
    std::shared_ptr<FrameSnapshot> decode_towards(const Target& target);
    void take_picture(const AVFrame& picture, const MbTypeRows& mb_types, int32_t decoded, const Target& target,
                      std::shared_ptr<FrameSnapshot>& result);
    bool depends_on_earlier_interval(int32_t decoded, const AVFrame& picture);

    const std::shared_ptr<const StreamIndex> index_;
    DecodeRun run_;
    FrameCache cache_;
    RequestPattern request_pattern_;
    LoopFilterSwitch loop_filter_;
    int64_t seeks_ = 0;
    // The highest frame decoded since the last seek, or -1 when the next request has to
    // seek whatever it asks for (right after opening, a drained decoder, a lost run).
    int32_t last_decoded_index_ = -1;
    // Whether the decoder has concealed damage in a picture of a later interval than the
    // one the current run began with since the last seek.
    bool run_concealed_later_interval_ = false;
};
