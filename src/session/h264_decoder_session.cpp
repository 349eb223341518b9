#include "h264_decoder_session.hpp"

#include <stdexcept>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include "decoder_settings.hpp"
#include "ffmpeg_error.hpp"
#include "quiet_ffmpeg_log.hpp"
#include "reference_packet.hpp"

namespace {

bool is_usable_rate(AVRational rate) { return rate.num > 0 && rate.den > 0; }

}  // namespace

H264DecoderSession::H264DecoderSession(const std::string& path, const SessionOptions& options)
    : options(options), path(path) {
    try {
        open();
    } catch (...) {
        close();
        throw;
    }
}

H264DecoderSession::~H264DecoderSession() { close(); }

void H264DecoderSession::open() {
    open_input();
    discard_non_video_streams();
    probe_stream_info();
    choose_video_stream();
    const AVStream* stream = fmt_ctx->streams[video_stream_index];
    read_stream_facts(stream);
    open_decoder(stream);
    build_index();
    rewind();
}

void H264DecoderSession::close() {
    frame_cache.clear();
    std::deque<int32_t>().swap(cache_order);
    cache_bytes = 0;
    last_decoded_index = -1;
    if (codec_ctx) {
        avcodec_free_context(&codec_ctx);
        codec_ctx = nullptr;
    }
    if (fmt_ctx) {
        avformat_close_input(&fmt_ctx);
        fmt_ctx = nullptr;
    }
}

void H264DecoderSession::open_input() {
    const int result = avformat_open_input(&fmt_ctx, path.c_str(), nullptr, nullptr);
    if (result < 0) {
        throw std::runtime_error("Cannot open input video: " + path + " (" + ffmpeg_error_text(result) + ")");
    }
}

// Tells the demuxer that packets of audio, subtitle and data streams need not be read.
void H264DecoderSession::discard_non_video_streams() {
    for (unsigned int i = 0; i < fmt_ctx->nb_streams; ++i) {
        AVStream* stream = fmt_ctx->streams[i];
        if (stream->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) {
            stream->discard = AVDISCARD_ALL;
        }
    }
}

void H264DecoderSession::probe_stream_info() {
    int result = 0;
    {
        QuietFfmpegLog quiet;
        result = avformat_find_stream_info(fmt_ctx, nullptr);
    }
    if (result < 0) {
        throw std::runtime_error("Cannot find stream info in: " + path);
    }
}

void H264DecoderSession::choose_video_stream() {
    for (unsigned int i = 0; i < fmt_ctx->nb_streams; ++i) {
        if (fmt_ctx->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            video_stream_index = static_cast<int32_t>(i);
            return;
        }
    }
    throw std::runtime_error("No video stream found in: " + path);
}

void H264DecoderSession::read_stream_facts(const AVStream* stream) {
    time_base = stream->time_base;

    const AVRational rate = is_usable_rate(stream->avg_frame_rate) ? stream->avg_frame_rate : stream->r_frame_rate;
    if (is_usable_rate(rate)) {
        fps_num = rate.num;
        fps_den = rate.den;
        fps = static_cast<double>(rate.num) / static_cast<double>(rate.den);
    }

    const AVCodecParameters* codecpar = stream->codecpar;
    width = codecpar->width;
    height = codecpar->height;
    mb_cols = (width + 15) / 16;
    mb_rows = (height + 15) / 16;

    if (const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(codecpar->format))) {
        pix_fmt = desc->name;
        if (desc->comp[0].depth > 8) {
            bytes_per_sample = 2;
        }
    }
}

void H264DecoderSession::open_decoder(const AVStream* stream) {
    const AVCodec* decoder = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!decoder) {
        throw std::runtime_error("H.264 decoder not found");
    }
    codec_ctx = avcodec_alloc_context3(decoder);
    if (!codec_ctx) {
        throw std::runtime_error("Cannot allocate AVCodecContext");
    }
    avcodec_parameters_to_context(codec_ctx, stream->codecpar);

    apply_decoder_settings(codec_ctx, options);
    loop_filter.configure(options.deblocking,
                          nal_length_size(stream->codecpar->extradata, stream->codecpar->extradata_size));

    const int result = avcodec_open2(codec_ctx, decoder, nullptr);
    if (result < 0) {
        throw std::runtime_error("Cannot open codec: " + ffmpeg_error_text(result));
    }
}

void H264DecoderSession::build_index() {
    ScannedPackets scanned = scan_video_packets(fmt_ctx, video_stream_index);
    packets = std::move(scanned.packets);
    if (packets.empty()) {
        throw std::runtime_error("No video packets found in: " + path);
    }
    frames_from_bitstream = number_frames_from_bitstream(packets, scanned.pictures);
    locator.count_packets(frames_from_bitstream);
    FrameIndex index = build_frame_index(packets);
    frame_pts = std::move(index.frame_pts);
    frame_seek_pts = std::move(index.frame_seek_pts);
    frame_start_packet = std::move(index.frame_start_packet);
    pts_to_index = std::move(index.pts_to_index);
    num_frames = static_cast<int32_t>(frame_pts.size());
}

// A failed rewind needs no report: the first frame request seeks in any case. A file whose
// frames are numbered from the bitstream is not rewound by timestamp at all: with no
// timestamps to find, FFmpeg's generic seek reads the whole file once more looking for one.
void H264DecoderSession::rewind() {
    if (!frames_from_bitstream) {
        av_seek_frame(fmt_ctx, video_stream_index, 0, AVSEEK_FLAG_BACKWARD);
    }
    avcodec_flush_buffers(codec_ctx);
    last_decoded_index = -1;
}
