#include "batch_worker.hpp"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <vector>

#include "decoder_settings.hpp"
#include "ffmpeg_error.hpp"
#include "packet_locator.hpp"
#include "quiet_ffmpeg_log.hpp"

namespace {

// A batch decodes every picture of an interval in one run, filtered as the session's mode
// says. "exact" pictures cannot come from such a run (each requested reference would have
// to be decoded without its filter, and then could not serve the pictures after it), so a
// batch of such a session reads QP maps and frame facts with the filter skipped, which
// changes neither; get_planes refuses it.
SessionOptions batch_decoder_options(DeblockingMode deblocking) {
    SessionOptions options;
    options.deblocking = deblocking == DeblockingMode::On ? DeblockingMode::On : DeblockingMode::Skip;
    return options;
}

}  // namespace

BatchWorker::BatchWorker(const ScannedFile& file, bool with_pixels)
    : file(file), with_pixels(with_pixels), packet(av_packet_alloc()), frame(av_frame_alloc()) {
    try {
        if (!packet || !frame) {
            throw std::bad_alloc();
        }
        int result = avformat_open_input(&fmt_ctx, file.path.c_str(), nullptr, nullptr);
        if (result < 0) {
            throw std::runtime_error("Cannot open input video: " + file.path + " (" + ffmpeg_error_text(result) + ")");
        }
        for (unsigned int i = 0; i < fmt_ctx->nb_streams; ++i) {
            if (static_cast<int32_t>(i) != file.video_stream_index) {
                fmt_ctx->streams[i]->discard = AVDISCARD_ALL;
            }
        }
        // The decoder has to start from what the session's decoder started from, and that
        // includes what probing learns of the stream.
        {
            QuietFfmpegLog quiet;
            result = avformat_find_stream_info(fmt_ctx, nullptr);
        }
        if (result < 0 || file.video_stream_index >= static_cast<int32_t>(fmt_ctx->nb_streams)) {
            throw std::runtime_error("Cannot find stream info in: " + file.path);
        }
        const AVCodecParameters* codecpar = fmt_ctx->streams[file.video_stream_index]->codecpar;
        const AVCodec* decoder = avcodec_find_decoder(codecpar->codec_id);
        if (!decoder) {
            throw std::runtime_error("H.264 decoder not found");
        }
        codec_ctx = avcodec_alloc_context3(decoder);
        if (!codec_ctx) {
            throw std::runtime_error("Cannot allocate AVCodecContext");
        }
        avcodec_parameters_to_context(codec_ctx, codecpar);
        apply_decoder_settings(codec_ctx, batch_decoder_options(file.deblocking));
        result = avcodec_open2(codec_ctx, decoder, nullptr);
        if (result < 0) {
            throw std::runtime_error("Cannot open codec: " + ffmpeg_error_text(result));
        }
    } catch (...) {
        close();
        throw;
    }
}

BatchWorker::~BatchWorker() { close(); }

void BatchWorker::close() {
    avcodec_free_context(&codec_ctx);
    avformat_close_input(&fmt_ctx);
}

// As the frame methods do: from the frames' own key packet, and where FFmpeg withholds a
// picture there even when drained (a recovery point a few frames before the end of the
// file), once more from the key packet before it, taking the missing pictures whatever
// the earlier interval did to them.
void BatchWorker::decode_unit(const DecodingUnit& unit, const PictureSink& sink) {
    std::size_t missing = unit.count;
    decode_from(unit.start_packet, unit, missing, sink);
    if (missing > 0 && unit.start_packet > 0) {
        decode_from(previous_key_packet(file.packets, unit.start_packet), unit, missing, sink);
    }
}

void BatchWorker::decode_from(int32_t key_packet, const DecodingUnit& unit, std::size_t& missing,
                              const PictureSink& sink) {
    PacketLocator locator;
    locator.count_packets(file.frames_from_bitstream);
    locator.seek(fmt_ctx, file.video_stream_index, file.packets, key_packet);
    avcodec_flush_buffers(codec_ctx);
    bool waiting_for_key = true;
    int32_t next_packet = key_packet;
    while (missing > 0) {
        if (av_read_frame(fmt_ctx, packet.get()) < 0) {
            // The pictures of the decoder's reordering delay come out once it is drained.
            if (avcodec_send_packet(codec_ctx, nullptr) >= 0) {
                receive_pictures(unit, missing, sink);
            }
            return;
        }
        if (packet->stream_index != file.video_stream_index) {
            av_packet_unref(packet.get());
            continue;
        }
        if (waiting_for_key) {
            const PacketLocator::Arrival arrival =
                locator.arrive(fmt_ctx, file.video_stream_index, file.packets, *packet);
            if (arrival == PacketLocator::Arrival::Before) {
                av_packet_unref(packet.get());
                continue;
            }
            if (arrival == PacketLocator::Arrival::Lost) {
                av_packet_unref(packet.get());
                return;
            }
            waiting_for_key = false;
        }
        // Past a packet that is not the one the scan found here, which picture anything
        // decoded is cannot be told: the frame methods give up the run there too.
        if (!locator.take(file.packets, *packet, next_packet)) {
            av_packet_unref(packet.get());
            return;
        }
        ++next_packet;
        // A picture nothing references and nobody asked for need not be decoded. A packet
        // without timestamp cannot be told apart, so it is. With a single decoding thread,
        // decoding happens inside avcodec_send_packet and the setting applies to exactly
        // this packet.
        const bool unwanted = packet->pts != AV_NOPTS_VALUE && missing_frame_slot(unit, packet->pts) < 0;
        codec_ctx->skip_frame = unwanted ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
        const int sent = avcodec_send_packet(codec_ctx, packet.get());
        av_packet_unref(packet.get());
        if (sent >= 0) {
            receive_pictures(unit, missing, sink);
        }
    }
}

// Where in the unit the frame with this timestamp is, if the unit still waits for it.
int32_t BatchWorker::missing_frame_slot(const DecodingUnit& unit, int64_t pts) const {
    const auto found = file.pts_to_index.find(pts);
    if (found == file.pts_to_index.end()) {
        return -1;
    }
    const int32_t* end = unit.frames + unit.count;
    const int32_t* slot = std::lower_bound(unit.frames, end, found->second);
    if (slot == end || *slot != found->second || unit.delivered[slot - unit.frames]) {
        return -1;
    }
    return static_cast<int32_t>(slot - unit.frames);
}

// Pictures that come out together for the same frame (timestamps repeated in the file)
// leave the last of them, as in the frame methods, which take what one round of receiving
// gives before they look at it.
void BatchWorker::receive_pictures(const DecodingUnit& unit, std::size_t& missing, const PictureSink& sink) {
    std::vector<std::pair<int32_t, DecodedPicture>> received;
    while (avcodec_receive_frame(codec_ctx, frame.get()) >= 0) {
        // A picture whose packet carried no timestamp is no frame's.
        const int32_t slot = missing_frame_slot(unit, frame->pts);
        if (slot >= 0) {
            DecodedPicture picture{unit.frames[slot], build_cached_frame(frame.get(), frame->pts, with_pixels)};
            const auto same = std::find_if(received.begin(), received.end(),
                                           [slot](const auto& entry) { return entry.first == slot; });
            if (same != received.end()) {
                same->second = std::move(picture);
            } else {
                received.emplace_back(slot, std::move(picture));
            }
        }
        av_frame_unref(frame.get());
    }
    for (const auto& [slot, picture] : received) {
        sink(picture);
        unit.delivered[slot] = 1;
        --missing;
    }
}
