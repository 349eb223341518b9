#include <algorithm>
#include <stdexcept>
#include <string>

#include "cache_policy.hpp"
#include "ffmpeg_handles.hpp"
#include "h264_decoder_session.hpp"

namespace {

// Beyond this distance a seek to the key frame is expected to be cheaper than decoding on.
constexpr int32_t kForwardDecodeLimit = 350;

}  // namespace

std::shared_ptr<CachedFrame> H264DecoderSession::get_frame(int32_t index, bool needs_pixels) {
    if (index < 0 || index >= num_frames) {
        throw std::out_of_range("Frame index out of bounds: " + std::to_string(index));
    }
    std::lock_guard<std::mutex> lock(decode_mutex);
    request_pattern.note_request(index);
    if (const auto hit = frame_cache.find(index); hit != frame_cache.end() && serves(*hit->second, needs_pixels)) {
        return hit->second;
    }
    request_needs_pixels = needs_pixels;

    const int32_t start = frame_start_packet[index];
    if (!can_decode_forward(index) || loop_filter.needs_seek_for(frame_pts[index])) {
        seek_to_packet(start);
    }
    std::shared_ptr<CachedFrame> result = decode_until(index, false);
    if (!result && start > 0) {
        // FFmpeg's H.264 decoder withholds, even when drained, pictures decoded after a
        // mid-stream recovery point but before that point's own picture was output, which
        // happens when the key packet lies a few frames before the end of the file. From one
        // interval earlier the recovery point has long passed when the picture is decoded.
        seek_to_packet(previous_key_packet(packets, start));
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

void H264DecoderSession::seek_to_packet(int32_t packet) {
    ++seeks;
    locator.seek(fmt_ctx, video_stream_index, packets, packet);
    avcodec_flush_buffers(codec_ctx);
    last_decoded_index = -1;
    pending_start_packet = packet;
    decode_run_start = packet;
    next_packet = packet;
    run_concealed_later_interval = false;
    loop_filter.start_run();
}

// Reads and decodes until the requested picture comes out or the input ends; returns an
// empty pointer in the latter case. Every picture decoded on the way that does not depend on
// where decoding began is cached. As a last resort, the requested picture is taken even
// when it does: that run is then the only way to it, and so it is the same every time.
std::shared_ptr<CachedFrame> H264DecoderSession::decode_until(int32_t index, bool last_resort) {
    PacketHandle packet(av_packet_alloc());
    FrameHandle frame(av_frame_alloc());
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
        if (!locator.take(packets, *packet, next_packet)) {
            // The demuxer delivered another packet than the scan did here: which picture
            // anything decoded from now on would be cannot be told.
            av_packet_unref(packet.get());
            lose_track();
            break;
        }
        ++next_packet;
        codec_ctx->skip_frame = skips_unreferenced(*packet, index) ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
        loop_filter.before_sending(codec_ctx, *packet, packet->pts == frame_pts[index]);
        const int sent = avcodec_send_packet(codec_ctx, packet.get());
        av_packet_unref(packet.get());
        if (sent >= 0) {
            receive_frames(frame.get(), index, last_resort, result);
        }
    }
    return result;
}

// A picture that no other picture references and that comes before the requested one need
// not be decoded unless the pattern of requests makes it worth caching. Pictures after the
// requested one are decoded all the same: the next request is as likely to be one of them
// as in a pass forwards, and skipping them would make it seek. With a single decoding
// thread, decoding happens inside avcodec_send_packet, so the setting applies to exactly the
// packet sent next.
bool H264DecoderSession::skips_unreferenced(const AVPacket& packet, int32_t index) const {
    const auto found = pts_to_index.find(packet.pts);
    return found != pts_to_index.end() && found->second < index &&
           !request_pattern.decodes_unreferenced_before(found->second, index);
}

void H264DecoderSession::receive_frames(AVFrame* frame, int32_t index, bool last_resort,
                                        std::shared_ptr<CachedFrame>& result) {
    while (avcodec_receive_frame(codec_ctx, frame) >= 0) {
        // A picture whose packet carried no timestamp is no frame's. Its decoding timestamp
        // is not its own but that of the packet sent when it came out, often another frame's.
        const auto found = pts_to_index.find(frame->pts);
        if (found != pts_to_index.end()) {
            const int32_t decoded = found->second;
            const bool depends_on_run =
                depends_on_earlier_interval(decoded, *frame) || loop_filter.differs_from_mode(frame->pts);
            if (!depends_on_run || (decoded == index && last_resort)) {
                std::shared_ptr<CachedFrame> snapshot = build_cached_frame(frame, frame->pts, request_needs_pixels);
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

// A snapshot without pixels serves requests for QP maps and offsets only, so that the
// decoder gets its buffers back as soon as it has been read and keeps writing into the few
// that are still in the processor's caches. One with pixels serves every request.
bool H264DecoderSession::serves(const CachedFrame& cached, bool needs_pixels) {
    return cached.has_pixels || !needs_pixels;
}

void H264DecoderSession::cache_frame(int32_t index, std::shared_ptr<CachedFrame> snapshot) {
    if (const auto cached = frame_cache.find(index); cached != frame_cache.end()) {
        if (!serves(*cached->second, snapshot->has_pixels)) {
            cache_bytes = cache_bytes - cached->second->byte_size() + snapshot->byte_size();
            cached->second = std::move(snapshot);
        }
        return;
    }
    while (!cache_order.empty() && (frame_cache.size() >= kFrameCacheCapacity ||
                                    cache_bytes + snapshot->byte_size() > kFrameCacheByteBudget)) {
        const auto oldest = frame_cache.find(cache_order.front());
        cache_bytes -= oldest->second->byte_size();
        frame_cache.erase(oldest);
        cache_order.pop_front();
    }
    cache_bytes += snapshot->byte_size();
    frame_cache.emplace(index, std::move(snapshot));
    cache_order.push_back(index);
}
