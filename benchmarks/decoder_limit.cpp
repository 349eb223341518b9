// The fastest the session's decoder can go on a file: demux, send, receive, drain, with the
// session's own decoder settings and nothing else. With --demux-only, the fastest a file can
// be opened, probed and read through, which is what opening a session costs at least. With
// --frame-threads, the same loop with FFmpeg's default threading (a thread per core, frame
// threads first): what a user gets who leaves the decoder's thread settings alone.
// Prints the frames (or packets) of the video stream and the seconds taken.
// Usage: decoder_limit [--demux-only | --frame-threads] <video>

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "decoder_settings.hpp"

namespace {

void check(int result, const char* what) {
    if (result < 0) {
        throw std::runtime_error(what);
    }
}

long receive_all(AVCodecContext* codec_ctx, AVFrame* frame) {
    long frames = 0;
    while (avcodec_receive_frame(codec_ctx, frame) >= 0) {
        ++frames;
        av_frame_unref(frame);
    }
    return frames;
}

enum class Mode { Decode, DemuxOnly, FrameThreads };

long decode_file(const char* path, Mode mode) {
    const bool decode = mode != Mode::DemuxOnly;
    AVFormatContext* fmt_ctx = nullptr;
    check(avformat_open_input(&fmt_ctx, path, nullptr, nullptr), "open");
    check(avformat_find_stream_info(fmt_ctx, nullptr), "probe");
    const int stream = av_find_best_stream(fmt_ctx, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    check(stream, "video stream");
    const AVCodecParameters* codecpar = fmt_ctx->streams[stream]->codecpar;
    const AVCodec* decoder = avcodec_find_decoder(codecpar->codec_id);
    AVCodecContext* codec_ctx = avcodec_alloc_context3(decoder);
    if (!codec_ctx) {
        throw std::runtime_error("allocate decoder");
    }
    avcodec_parameters_to_context(codec_ctx, codecpar);
    apply_decoder_settings(codec_ctx);
    if (mode == Mode::FrameThreads) {
        codec_ctx->thread_count = 0;
    }
    check(avcodec_open2(codec_ctx, decoder, nullptr), "open decoder");

    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    long frames = 0;
    while (av_read_frame(fmt_ctx, packet) >= 0) {
        if (packet->stream_index == stream) {
            if (!decode) {
                ++frames;
            } else if (avcodec_send_packet(codec_ctx, packet) >= 0) {
                frames += receive_all(codec_ctx, frame);
            }
        }
        av_packet_unref(packet);
    }
    if (decode) {
        avcodec_send_packet(codec_ctx, nullptr);
        frames += receive_all(codec_ctx, frame);
    }

    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&codec_ctx);
    avformat_close_input(&fmt_ctx);
    return frames;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string option = argc == 3 ? argv[1] : "";
    const Mode mode = option == "--demux-only"      ? Mode::DemuxOnly
                      : option == "--frame-threads" ? Mode::FrameThreads
                                                    : Mode::Decode;
    if (argc != 2 && (argc != 3 || mode == Mode::Decode)) {
        std::fprintf(stderr, "usage: decoder_limit [--demux-only | --frame-threads] <video>\n");
        return 2;
    }
    // The first pass pays for loading libraries and warming the file cache; the second is
    // the one a long-running process sees.
    long frames = 0;
    std::chrono::duration<double> elapsed{};
    for (int pass = 0; pass < 2; ++pass) {
        const auto start = std::chrono::steady_clock::now();
        frames = decode_file(argv[argc - 1], mode);
        elapsed = std::chrono::steady_clock::now() - start;
    }
    std::printf("%ld %.6f\n", frames, elapsed.count());
    return 0;
}
