#include <algorithm>
#include <stdexcept>
#include <string>

#include "h264_decoder_session.hpp"

namespace {

constexpr std::size_t kCacheCapacity = 64;
// A file of a few kilobytes can declare pictures of 16000x16000, 384 MB each: 64 of them
// would take more memory than most machines have. Such pictures are cached fewer at a time.
constexpr std::size_t kCacheByteBudget = std::size_t{1} << 30;
// Beyond this distance a seek to the key frame is expected to be cheaper than decoding on.
constexpr int32_t kForwardDecodeLimit = 350;

struct PacketFree {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct FrameFree {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};

}  // namespace

std::shared_ptr<CachedFrame> H264DecoderSession::get_frame(int32_t index) {
    if (index < 0 || index >= num_frames) {
        throw std::out_of_range("Frame index out of bounds: " + std::to_string(index));
    }
    std::lock_guard<std::mutex> lock(decode_mutex);
    if (const auto hit = frame_cache.find(index); hit != frame_cache.end()) {
        return hit->second;
    }

    const int32_t start = frame_start_packet[index];
    if (!can_decode_forward(index)) {
        seek_to_packet(start);
    }
    std::shared_ptr<CachedFrame> result = decode_until(index, false);
    if (!result && start > 0) {
        // FFmpeg's H.264 decoder withholds, even when drained, pictures decoded after a
        // mid-stream recovery point but before that point's own picture was output, which
        // happens when the key packet lies a few frames before the end of the file. From one
        // interval earlier the recovery point has long passed when the picture is decoded.
        seek_to_packet(previous_key_packet(start));
        result = decode_until(index, true);
    }
    if (!result) {
        throw std::runtime_error("Failed to decode frame " + std::to_string(index));
    }
    return result;
}

// Decoding on from where the last call stopped gives the same pictures as a seek when the
// requested frame is still ahead and the current run of decoding began at or before the key
// packet the frame needs. It is also cheaper when the frame lies in the interval of the last
// decoded one (an open GOP's leading pictures count with the interval they are decoded
// from), or when its key packet has been read already.
bool H264DecoderSession::can_decode_forward(int32_t index) const {
    const int32_t last = last_decoded_index;
    if (last < 0 || last >= index || index - last > kForwardDecodeLimit) {
        return false;
    }
    const int32_t start = frame_start_packet[index];
    if (decode_run_start > start) {
        return false;
    }
    if (run_concealed_later_interval && start != decode_run_start) {
        return false;
    }
    const bool same_interval = frame_seek_pts[last] == frame_seek_pts[index] || frame_start_packet[last] == start;
    return same_interval || next_packet > start;
}

int32_t H264DecoderSession::previous_key_packet(int32_t packet) const {
    for (int32_t i = packet - 1; i > 0; --i) {
        if (packets[i].is_key) {
            return i;
        }
    }
    return 0;
}

void H264DecoderSession::seek_to_packet(int32_t packet) {
    locator.seek(fmt_ctx, video_stream_index, packets, packet);
    avcodec_flush_buffers(codec_ctx);
    last_decoded_index = -1;
    pending_start_packet = packet;
    decode_run_start = packet;
    next_packet = packet;
    run_concealed_later_interval = false;
}

// Reads and decodes until the requested picture comes out or the input ends; returns an
// empty pointer in the latter case. Every picture decoded on the way that does not depend on
// where decoding began is cached. As a last resort, the requested picture is taken even
// when it does: that run is then the only way to it, and so it is the same every time.
std::shared_ptr<CachedFrame> H264DecoderSession::decode_until(int32_t index, bool last_resort) {
    std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
    std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
    if (!packet || !frame) {
        throw std::bad_alloc();
    }
    std::shared_ptr<CachedFrame> result;
    while (!result) {
        if (av_read_frame(fmt_ctx, packet.get()) < 0) {
            drain_decoder(frame.get(), index, last_resort, result);
            break;
        }
        if (packet->stream_index != video_stream_index) {
            av_packet_unref(packet.get());
            continue;
        }
        if (pending_start_packet >= 0) {
            const PacketLocator::Arrival arrival = locator.arrive(fmt_ctx, video_stream_index, packets, *packet);
            if (arrival == PacketLocator::Arrival::Before) {
                av_packet_unref(packet.get());
                continue;
            }
            if (arrival == PacketLocator::Arrival::Lost) {
                av_packet_unref(packet.get());
                lose_track();
                break;
            }
            pending_start_packet = -1;
        }
        if (!locator.matches(packets, *packet, next_packet)) {
            // The demuxer delivered another packet than the scan did here: which picture
            // anything decoded from now on would be cannot be told.
            av_packet_unref(packet.get());
            lose_track();
            break;
        }
        if (frames_from_bitstream) {
            packet->pts = packets[next_packet].pts;
        }
        ++next_packet;
        codec_ctx->skip_frame = leaves_cache_before(*packet, index) ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
        const int sent = avcodec_send_packet(codec_ctx, packet.get());
        av_packet_unref(packet.get());
        if (sent >= 0) {
            receive_frames(frame.get(), index, last_resort, result);
        }
    }
    return result;
}

// A picture that no other picture references, and that lies so far before the requested one
// that the cache would have let go of it by the time the requested one comes out, need not be
// decoded at all. With a single decoding thread, decoding happens inside avcodec_send_packet,
// so the setting applies to exactly the packet sent next.
bool H264DecoderSession::leaves_cache_before(const AVPacket& packet, int32_t index) const {
    const auto found = pts_to_index.find(packet.pts);
    return found != pts_to_index.end() && found->second < index - static_cast<int32_t>(kCacheCapacity);
}

void H264DecoderSession::receive_frames(AVFrame* frame, int32_t index, bool last_resort,
                                        std::shared_ptr<CachedFrame>& result) {
    while (avcodec_receive_frame(codec_ctx, frame) >= 0) {
        // A picture whose packet carried no timestamp is no frame's. Its decoding timestamp
        // is not its own but that of the packet sent when it came out, often another frame's.
        const auto found = pts_to_index.find(frame->pts);
        if (found != pts_to_index.end()) {
            const int32_t decoded = found->second;
            const bool depends_on_run = depends_on_earlier_interval(decoded, *frame);
            if (!depends_on_run || (decoded == index && last_resort)) {
                std::shared_ptr<CachedFrame> snapshot = build_cached_frame(frame, frame->pts);
                if (decoded == index) {
                    result = snapshot;
                }
                if (!depends_on_run) {
                    last_decoded_index = std::max(last_decoded_index, decoded);
                    cache_frame(decoded, std::move(snapshot));
                }
            }
        }
        av_frame_unref(frame);
    }
}

// Whether the picture is not what a seek to its own key packet gives. Decoding on into a
// later interval gives the same pictures as a seek there, except where the decoder conceals
// damage: it fills a damaged intra picture from the picture decoded just before it, which a
// seek does not have, and every later picture of that interval may predict from the fill.
bool H264DecoderSession::depends_on_earlier_interval(int32_t decoded, const AVFrame& frame) {
    if (frame_start_packet[decoded] == decode_run_start) {
        return false;
    }
    if (frame.decode_error_flags != 0) {
        run_concealed_later_interval = true;
    }
    return run_concealed_later_interval;
}

// The next request seeks, whatever it asks for.
void H264DecoderSession::lose_track() { last_decoded_index = -1; }

// At the end of input the decoder still holds the pictures of its reordering delay; they
// only come out once it is told that no more packets follow. A drained decoder
// takes no new packets until flushed, so the next miss has to seek.
void H264DecoderSession::drain_decoder(AVFrame* frame, int32_t index, bool last_resort,
                                       std::shared_ptr<CachedFrame>& result) {
    if (avcodec_send_packet(codec_ctx, nullptr) >= 0) {
        receive_frames(frame, index, last_resort, result);
    }
    last_decoded_index = -1;
}

void H264DecoderSession::cache_frame(int32_t index, std::shared_ptr<CachedFrame> snapshot) {
    if (const auto cached = frame_cache.find(index); cached != frame_cache.end()) {
        cache_bytes = cache_bytes - cached->second->byte_size() + snapshot->byte_size();
        cached->second = std::move(snapshot);
        return;
    }
    while (!cache_order.empty() &&
           (frame_cache.size() >= kCacheCapacity || cache_bytes + snapshot->byte_size() > kCacheByteBudget)) {
        const auto oldest = frame_cache.find(cache_order.front());
        cache_bytes -= oldest->second->byte_size();
        frame_cache.erase(oldest);
        cache_order.pop_front();
    }
    cache_bytes += snapshot->byte_size();
    frame_cache.emplace(index, std::move(snapshot));
    cache_order.push_back(index);
}
