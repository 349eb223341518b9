#include "frame_retrieval.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

#include "frame/frame_not_decoded.hpp"
#include "h264/reference_packet.hpp"

namespace {

// Beyond this distance a seek to the key frame is expected to be cheaper than decoding on.
constexpr int32_t kForwardDecodeLimit = 350;

}  // namespace

// The scan leaves the demuxer at the end of the file and the decoder untouched; the first
// request seeks in any case, as last_decoded_index_ says.
FrameRetrieval::FrameRetrieval(VideoInput& input, std::shared_ptr<const StreamIndex> index, DeblockingMode deblocking)
    : index_(std::move(index)), run_(input, index_) {
    const AVCodecParameters* codecpar = input.video_stream().codecpar;
    loop_filter_.configure(deblocking, nal_length_size(codecpar->extradata, codecpar->extradata_size),
                           codecpar->codec_id == AV_CODEC_ID_H264);
}

std::shared_ptr<FrameSnapshot> FrameRetrieval::decode(int32_t index, bool needs_pixels) {
    const FrameIndex& frames = index_->frames;
    const int32_t start = frames.frame_start_packet[index];
    const bool decodes_on = can_decode_forward(index) && !loop_filter_.needs_seek_for(frames.frame_pts[index]);
    if (!decodes_on) {
        seek_to_packet(start);
    }
    std::shared_ptr<FrameSnapshot> result = decode_towards(Target{index, needs_pixels, false});
    if (!result && decodes_on) {
        // Decoding on did not give the picture a run from its own key packet gives (the
        // decoder concealed damage with what the earlier interval left it): that run does.
        seek_to_packet(start);
        result = decode_towards(Target{index, needs_pixels, false});
    }
    if (!result && concealed_after_skipping_) {
        // FFmpeg conceals a damaged picture with the picture decoded just before it, which
        // depends on which unreferenced pictures were skipped: the picture is the one decoding
        // every picture from its key packet gives.
        seek_to_packet(start);
        result = decode_towards(Target{index, needs_pixels, false, true});
    }
    if (!result && start > 0) {
        // FFmpeg's H.264 decoder withholds, even when drained, pictures decoded after a
        // mid-stream recovery point but before that point's own picture was output, which
        // happens when the key packet lies a few frames before the end of the file. From one
        // interval earlier the recovery point has long passed when the picture is decoded.
        seek_to_packet(previous_key_packet(index_->packets, start));
        result = decode_towards(Target{index, needs_pixels, true});
    }
    if (!result) {
        throw FrameNotDecoded(index);
    }
    return result;
}

// Decoding on from where the last call stopped gives the same pictures as a seek when the
// requested frame is still ahead and the current run of decoding began at or before the key
// packet the frame needs. It is also cheaper when the frame lies in the interval of the last
// decoded one (an open GOP's leading pictures count with the interval they are decoded
// from), or when its key packet has been read already.
bool FrameRetrieval::can_decode_forward(int32_t index) const {
    const int32_t last = last_decoded_index_;
    if (last < 0 || last >= index || index - last > kForwardDecodeLimit) {
        return false;
    }
    const FrameIndex& frames = index_->frames;
    const int32_t start = frames.frame_start_packet[index];
    if (run_.start_packet() > start) {
        return false;
    }
    if (run_concealed_later_interval_ && start != run_.start_packet()) {
        return false;
    }
    const bool same_interval =
        frames.frame_seek_pts[last] == frames.frame_seek_pts[index] || frames.frame_start_packet[last] == start;
    return same_interval || run_.next_packet() > start;
}

void FrameRetrieval::seek_to_packet(int32_t packet) {
    ++seeks_;
    run_.start_at(packet);
    last_decoded_index_ = -1;
    run_concealed_later_interval_ = false;
    run_skipped_ = false;
    loop_filter_.start_run();
}

// Decodes until the requested picture comes out or the input ends; returns an empty pointer
// in the latter case. Every picture decoded on the way that does not depend on where
// decoding began is cached. As a last resort, the requested picture is taken even when it
// does: that run is then the only way to it, and so it is the same every time.
//
// A picture that no other picture references and that comes before the requested one need
// not be decoded unless the pattern of requests makes it worth caching. Pictures after the
// requested one are decoded all the same: the next request is as likely to be one of them
// as in a pass forwards, and skipping them would make it seek.
std::shared_ptr<FrameSnapshot> FrameRetrieval::decode_towards(const Target& target) {
    const int32_t index = target.index;
    std::shared_ptr<FrameSnapshot> result;
    DecodeSteps steps;
    concealed_after_skipping_ = false;
    steps.skips_unreferenced = [&](int32_t frame) {
        const bool skips = !target.every_picture && frame >= 0 && frame < index &&
                           !request_pattern_.decodes_unreferenced_before(frame, index);
        run_skipped_ = run_skipped_ || skips;
        return skips;
    };
    steps.before_sending = [&](AVCodecContext& decoder, const AVPacket& packet, int32_t frame) {
        loop_filter_.before_sending(decoder, packet, frame == index);
    };
    steps.take_picture = [&](const AVFrame& picture, const MbTypeRows& mb_types, int32_t frame) {
        take_picture(picture, mb_types, frame, target, result);
    };
    steps.done = [&] { return result != nullptr || concealed_after_skipping_; };
    if (run_.decode(steps) != RunEnd::Done) {
        // A drained decoder takes no new packets until flushed, and a lost run cannot be
        // continued: the next request seeks.
        last_decoded_index_ = -1;
    }
    return result;
}

void FrameRetrieval::take_picture(const AVFrame& picture, const MbTypeRows& mb_types, int32_t decoded,
                                  const Target& target, std::shared_ptr<FrameSnapshot>& result) {
    const bool concealed_after_skipping = run_skipped_ && picture.decode_error_flags != 0;
    concealed_after_skipping_ = concealed_after_skipping_ || (concealed_after_skipping && decoded == target.index);
    const bool depends_on_run = depends_on_earlier_interval(decoded, picture) ||
                                loop_filter_.differs_from_mode(picture.pts) || concealed_after_skipping;
    if (depends_on_run && !(decoded == target.index && target.last_resort)) {
        return;
    }
    std::shared_ptr<FrameSnapshot> snapshot = build_frame_snapshot(&picture, picture.pts, target.needs_pixels, mb_types);
    if (decoded == target.index) {
        result = snapshot;
    }
    if (!depends_on_run) {
        last_decoded_index_ = std::max(last_decoded_index_, decoded);
        cache_.insert(decoded, std::move(snapshot));
    }
}

// Whether the picture is not what a seek to its own key packet gives. Decoding on into a
// later interval gives the same pictures as a seek there, except where the decoder conceals
// damage: it fills a damaged intra picture from the picture decoded just before it, which a
// seek does not have, and every later picture of that interval may predict from the fill.
bool FrameRetrieval::depends_on_earlier_interval(int32_t decoded, const AVFrame& picture) {
    if (index_->frames.frame_start_packet[decoded] == run_.start_packet()) {
        return false;
    }
    if (picture.decode_error_flags != 0) {
        run_concealed_later_interval_ = true;
    }
    return run_concealed_later_interval_;
}
