#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "cached_frame.hpp"
#include "ffmpeg_handles.hpp"
#include "h264_decoder_session.hpp"

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
};

// A demuxer and a single-threaded decoder of the session's file with the session's decoder
// settings, owned by one thread of a batch for its whole life. It follows the session's rules
// for where decoding of a frame begins, so that every picture it delivers is the one the
// frame methods give.
class BatchWorker {
public:
    // Opens the file. Probing changes FFmpeg's process-wide log level for a moment, so
    // workers are opened one at a time.
    // `with_pixels`: whether the pictures delivered keep their planes, or only what the QP
    // maps and frame facts need.
    BatchWorker(const ScannedFile& file, bool with_pixels);
    ~BatchWorker();
    BatchWorker(const BatchWorker&) = delete;
    BatchWorker& operator=(const BatchWorker&) = delete;

    void decode_unit(const DecodingUnit& unit, const PictureSink& sink);

private:
    void close();
    void decode_from(int32_t key_packet, const DecodingUnit& unit, std::size_t& missing, const PictureSink& sink);
    int32_t missing_frame_slot(const DecodingUnit& unit, int64_t pts) const;
    void receive_pictures(const DecodingUnit& unit, std::size_t& missing, const PictureSink& sink);

    const ScannedFile file;
    const bool with_pixels;
    AVFormatContext* fmt_ctx = nullptr;
    AVCodecContext* codec_ctx = nullptr;
    PacketHandle packet;
    FrameHandle frame;
};
