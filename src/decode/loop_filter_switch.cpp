#include "decode/loop_filter_switch.hpp"

#include "h264/reference_packet.hpp"

void LoopFilterSwitch::configure(DeblockingMode mode, int length_size, bool h264_packets) {
    mode_ = mode;
    length_size_ = length_size;
    h264_packets_ = h264_packets;
    start_run();
}

void LoopFilterSwitch::before_sending(AVCodecContext& decoder, const AVPacket& packet, bool is_target) {
    if (mode_ != DeblockingMode::Exact) {
        return;
    }
    const bool reference = !h264_packets_ || carries_reference_picture(packet, length_size_);
    decoder.skip_loop_filter = is_target ? AVDISCARD_ALL : AVDISCARD_NONREF;
    // Where several packets carry the requested frame's timestamp (a damaged file), each is
    // decoded as the requested one, and the first picture out is the frame's.
    if (!is_target && (unfiltered_reference_ || reference)) {
        other_pictures_.insert(packet.pts);
    }
    if (is_target && reference) {
        unfiltered_reference_ = true;
    }
}

bool LoopFilterSwitch::differs_from_mode(int64_t pts) const { return other_pictures_.count(pts) > 0; }

void LoopFilterSwitch::start_run() {
    unfiltered_reference_ = false;
    other_pictures_.clear();
}
