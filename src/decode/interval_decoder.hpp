#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "decode/decode_run.hpp"
#include "ffmpeg/session_options.hpp"
#include "ffmpeg/video_input.hpp"
#include "frame/frame_snapshot.hpp"
#include "index/stream_index.hpp"

// One picture a caller of the interval decoder asked for, as the frame methods would see it.
struct DecodedPicture {
    int32_t frame;
    std::shared_ptr<FrameSnapshot> snapshot;
};

// Called from the decoders' threads, at most once per frame and never twice at the same time
// for the same frame.
using PictureSink = std::function<void(const DecodedPicture&)>;

// Frames that decoding from one key packet gives (a key-frame interval, or the part of it a
// caller wants): `count` frame numbers in ascending order, each with the flag that records
// whether it was delivered.
struct IntervalFrames {
    int32_t start_packet;
    const int32_t* frames;
    uint8_t* delivered;
    std::size_t count;

    // Where in the unit this frame is, if the unit still waits for it; else -1.
    int32_t waiting_slot(int32_t frame) const;
};

// What becomes of the pictures of an interval.
struct IntervalDelivery {
    PictureSink sink;
    // Whether the snapshots keep their planes, or only what the QP maps and frame facts need.
    bool with_pixels = false;
    // Asked before every packet: whether the rest of the interval is unwanted. May be empty.
    std::function<bool()> abandoned;

    bool is_abandoned() const { return abandoned && abandoned(); }
};

// The decoder settings of an interval decoder for a session with these options: the loop
// filter as the session's mode says where a run over whole intervals can give its pictures,
// macroblock types where the session captures them, and motion vectors only
// `with_motion_vectors` (the batch methods read none; the read-ahead's snapshots serve the
// frame methods, which do).
SessionOptions interval_decoder_options(const SessionOptions& session, bool with_motion_vectors);

// The decoder of one key-frame interval at a time: a demuxer and a single-threaded decoder of
// the indexed file, opened as the session opens its own, owned by one thread at a time. It
// follows the session's rules for where decoding of a frame begins, so that every picture it
// delivers is the one the frame methods give. The batch methods and the read-ahead decode
// their intervals on it.
class IntervalDecoder {
public:
    // Opens the file with the settings of interval_decoder_options, its decoder taking its
    // pictures from `pictures` where given.
    IntervalDecoder(std::shared_ptr<const StreamIndex> index, const SessionOptions& decoder_options,
                    std::shared_ptr<PicturePool> pictures = {});

    void decode(const IntervalFrames& frames, const IntervalDelivery& delivery);

private:
    void decode_from(int32_t key_packet, const IntervalFrames& frames, std::size_t& missing,
                     const IntervalDelivery& delivery);

    const std::shared_ptr<const StreamIndex> index_;
    VideoInput input_;
    DecodeRun run_;
};
