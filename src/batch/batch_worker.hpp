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

// What becomes of the pictures of a unit.
struct UnitDelivery {
    PictureSink sink;
    // Whether the snapshots keep their planes, or only what the QP maps and frame facts need.
    bool with_pixels = false;
    // Asked before every packet: whether the rest of the unit is no longer wanted. May be empty.
    std::function<bool()> abandoned;

    bool is_abandoned() const { return abandoned && abandoned(); }
};

// The decoder settings of a batch of a session with these options: the loop filter as the
// session's mode says where a run over whole intervals can give its pictures, and nothing
// the batch does not read (motion vectors).
SessionOptions batch_decoder_options(const SessionOptions& session);
// The same with motion vectors where the session exports them: snapshots as the frame
// methods build them, for the session's read-ahead.
SessionOptions frame_decoder_options(const SessionOptions& session);

// A demuxer and a single-threaded decoder of the indexed file, opened as the session opens
// its own, owned by one thread at a time. It follows the session's rules for where decoding
// of a frame begins, so that every picture it delivers is the one the frame methods give.
class BatchWorker {
public:
    // Opens the file with the settings of batch_decoder_options or frame_decoder_options,
    // its decoder taking its pictures from `pictures` where given.
    BatchWorker(std::shared_ptr<const StreamIndex> index, const SessionOptions& decoder_options,
                std::shared_ptr<PicturePool> pictures = {});

    void decode_unit(const DecodingUnit& unit, const UnitDelivery& delivery);

private:
    void decode_unit_from(int32_t key_packet, const DecodingUnit& unit, std::size_t& missing,
                          const UnitDelivery& delivery);

    const std::shared_ptr<const StreamIndex> index_;
    VideoInput input_;
    DecodeRun run_;
};
