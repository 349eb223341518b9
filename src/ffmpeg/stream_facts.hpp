#pragma once

#include <cstdint>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixfmt.h>
}

// What the container and the codec parameters say of the chosen video stream, read once at
// opening: what Python sees as the session's properties, and what callers size their
// destinations from. A picture may still differ from them where the stream changes midway.
struct StreamFacts {
    // FFmpeg's name of the stream's codec ("h264", "hevc", "mpeg2video"...), as ffprobe's
    // codec_name gives it: the codec's, whichever decoder implementation reads it.
    std::string codec;
    AVCodecID codec_id = AV_CODEC_ID_NONE;
    int32_t width = 0;
    int32_t height = 0;
    // The grid of 16x16 macroblocks that covers the picture.
    int32_t mb_cols = 0;
    int32_t mb_rows = 0;
    // avg_frame_rate, else r_frame_rate, else 24/1.
    double fps = 24.0;
    int32_t fps_num = 24;
    int32_t fps_den = 1;
    // AV_PIX_FMT_NONE and "yuv420p" where the stream declares no format FFmpeg describes.
    AVPixelFormat pixel_format = AV_PIX_FMT_NONE;
    std::string pix_fmt = "yuv420p";
    // 2 when a sample takes more than 8 bits.
    int32_t bytes_per_sample = 1;
    // The unit of every timestamp of the stream.
    AVRational time_base{0, 1};
};

StreamFacts read_stream_facts(const AVStream& stream);
