// The fastest the session's decoder can go on a file: demux, send, receive, drain, with the
// session's own decoder settings and nothing else. With --demux-only, the fastest a file can
// be opened, probed and read through, which is what opening a session costs at least. With
// --random-targets, the least work that produces each of the listed frames (numbered in
// presentation order) in turn: see RandomAccessLimit. With --frame-threads, the plain loop
// with FFmpeg's default threading (a thread per core, frame threads first): what a user gets
// who leaves the decoder's thread settings alone.
// Prints the frames (or packets, or targets) of the video stream, the seconds taken and the
// processor seconds among them, which a machine busy with other work inflates far less.
// Several videos are decoded one after the other, as a loop over a corpus does, and the
// totals printed.
// Usage: decoder_limit [--demux-only | --frame-threads | --random-targets N,N,...] <video> [<video>...]

#include <chrono>
#include <cstdio>
#include <ctime>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "decode/first_output.hpp"
#include "ffmpeg/decoder_settings.hpp"
#include "ffmpeg/handles.hpp"
#include "ffmpeg/video_input.hpp"
#include "index/stream_index.hpp"

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

enum class Mode { Decode, DemuxOnly, FrameThreads, RandomTargets };

AVCodecContext* open_decoder(const AVCodecParameters* codecpar, Mode mode = Mode::Decode) {
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
    return codec_ctx;
}

long decode_file(const char* path, Mode mode) {
    const bool decode = mode != Mode::DemuxOnly;
    AVFormatContext* fmt_ctx = nullptr;
    check(avformat_open_input(&fmt_ctx, path, nullptr, nullptr), "open");
    check(avformat_find_stream_info(fmt_ctx, nullptr), "probe");
    const int stream = av_find_best_stream(fmt_ctx, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    check(stream, "video stream");
    AVCodecContext* codec_ctx = open_decoder(fmt_ctx->streams[stream]->codecpar, mode);

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

// The least work that produces a frame: only the pictures it is predicted from and the
// frame itself are decoded, starting at its key packet, or, where its packet is still
// ahead in the interval being decoded, from where decoding stopped for the previous target.
// The file is numbered before the clock starts, as opening a session does.
class RandomAccessLimit {
public:
    explicit RandomAccessLimit(const char* path)
        : input_(path, SessionOptions{}),
          index_(scan_stream_index(input_, path,
                                   [this](const std::vector<PacketInfo>& packets) {
                                       return find_first_output(input_, packets);
                                   })),
          packet_(allocate_packet()),
          frame_(allocate_frame()) {
        frame_packet_.assign(index_->frames.frame_pts.size(), 0);
        for (const PacketInfo& info : index_->packets) {
            if (const int32_t frame = index_->frames.frame_of_pts(info.pts); frame >= 0) {
                frame_packet_[frame] = info.decode_order;
            }
        }
    }
    RandomAccessLimit(const RandomAccessLimit&) = delete;
    RandomAccessLimit& operator=(const RandomAccessLimit&) = delete;

    void decode(int32_t target) {
        const FrameIndex& frames = index_->frames;
        const int32_t key = frames.frame_start_packet.at(target);
        if (key != run_start_ || frame_packet_[target] < next_packet_) {
            seek_to(key);
        }
        const int64_t pts = frames.frame_pts[target];
        AVCodecContext* codec_ctx = input_.decoder();
        AVPacket* packet = packet_.get();
        while (av_read_frame(input_.demuxer(), packet) >= 0) {
            const bool ours = packet->stream_index == input_.stream() && packet->pos >= index_->packets[key].pos;
            bool found = false;
            if (ours) {
                ++next_packet_;
                codec_ctx->skip_frame = packet->pts == pts ? AVDISCARD_DEFAULT : AVDISCARD_NONREF;
                found = avcodec_send_packet(codec_ctx, packet) >= 0 && receive(pts);
            }
            av_packet_unref(packet);
            if (found) {
                return;
            }
        }
        avcodec_send_packet(codec_ctx, nullptr);
        const bool found = receive(pts);
        run_start_ = -1;
        if (!found) {
            throw std::runtime_error("frame " + std::to_string(target) + " not decoded");
        }
    }

private:
    void seek_to(int32_t key) {
        const PacketInfo& info = index_->packets[key];
        check(av_seek_frame(input_.demuxer(), input_.stream(), info.dts, AVSEEK_FLAG_BACKWARD), "seek");
        avcodec_flush_buffers(input_.decoder());
        run_start_ = key;
        next_packet_ = key;
    }

    bool receive(int64_t pts) {
        while (avcodec_receive_frame(input_.decoder(), frame_.get()) >= 0) {
            const bool found = frame_->pts == pts;
            av_frame_unref(frame_.get());
            if (found) {
                return true;
            }
        }
        return false;
    }

    VideoInput input_;
    std::shared_ptr<const StreamIndex> index_;
    PacketHandle packet_;
    FrameHandle frame_;
    std::vector<int32_t> frame_packet_;
    int32_t run_start_ = -1;
    int32_t next_packet_ = 0;
};

std::vector<int32_t> parse_targets(const std::string& list) {
    std::vector<int32_t> targets;
    std::istringstream stream(list);
    std::string item;
    while (std::getline(stream, item, ',')) {
        targets.push_back(std::stoi(item));
    }
    return targets;
}

struct Timing {
    std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
    std::clock_t processor = std::clock();

    double seconds() const { return std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count(); }
    double processor_seconds() const { return static_cast<double>(std::clock() - processor) / CLOCKS_PER_SEC; }
};

long decode_targets(const char* path, const std::vector<int32_t>& targets, double& seconds, double& processor_seconds) {
    RandomAccessLimit limit(path);
    const Timing timing;
    for (const int32_t target : targets) {
        limit.decode(target);
    }
    seconds = timing.seconds();
    processor_seconds = timing.processor_seconds();
    return static_cast<long>(targets.size());
}

}  // namespace

int main(int argc, char** argv) {
    const std::string option = argc >= 3 ? argv[1] : "";
    const Mode mode = option == "--demux-only"       ? Mode::DemuxOnly
                      : option == "--frame-threads"  ? Mode::FrameThreads
                      : option == "--random-targets" ? Mode::RandomTargets
                                                     : Mode::Decode;
    const int first_video = mode == Mode::Decode ? 1 : mode == Mode::RandomTargets ? 3 : 2;
    const bool one_video = mode == Mode::RandomTargets;
    if (argc <= first_video || (one_video && argc != first_video + 1)) {
        std::fprintf(stderr, "usage: decoder_limit [--demux-only | --frame-threads | --random-targets N,N,...] "
                             "<video> [<video>...]\n");
        return 2;
    }
    const bool random_targets = mode == Mode::RandomTargets;
    const std::vector<int32_t> targets = random_targets ? parse_targets(argv[2]) : std::vector<int32_t>{};
    // The first pass pays for loading libraries and warming the file cache; the second is
    // the one a long-running process sees.
    long frames = 0;
    double seconds = 0;
    double processor_seconds = 0;
    for (int pass = 0; pass < 2; ++pass) {
        if (random_targets) {
            frames = decode_targets(argv[argc - 1], targets, seconds, processor_seconds);
            continue;
        }
        const Timing timing;
        frames = 0;
        for (int video = first_video; video < argc; ++video) {
            frames += decode_file(argv[video], mode);
        }
        seconds = timing.seconds();
        processor_seconds = timing.processor_seconds();
    }
    std::printf("%ld %.6f %.6f\n", frames, seconds, processor_seconds);
    return 0;
}
