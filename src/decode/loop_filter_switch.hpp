#pragma once

#include <cstdint>
#include <unordered_set>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "ffmpeg/session_options.hpp"

// Sets the decoder's loop filter packet by packet for the session's deblocking mode, and
// tells which of the pictures decoded since the last seek show what the mode promises.
//
// "skip" and "on" keep one setting throughout, and every picture is the mode's. "exact"
// filters reference pictures and skips the filter of pictures nothing references, which are
// then already what the mode promises. The requested picture's filter is skipped whatever it
// is: with one decoding thread FFmpeg reads the setting per slice while the packet is being
// sent, so it applies to exactly the packet sent next. A reference picture
// filtered on the way is not the mode's picture; once the requested picture is itself a
// reference decoded unfiltered, nothing decoded after it is, and the decoder has to be
// brought back to a key packet before it serves another request.
class LoopFilterSwitch {
public:
    // `h264_packets`: whether the packets are H.264's, whose headers tell references apart;
    // any other codec's packet counts as a reference, which costs a decode, not a wrong picture.
    void configure(DeblockingMode mode, int length_size, bool h264_packets);

    // Right before `packet` is sent; `is_target` when it carries the requested frame.
    void before_sending(AVCodecContext& decoder, const AVPacket& packet, bool is_target);
    // Whether the picture of the packet with this timestamp, decoded since the last seek,
    // is not the picture the mode promises.
    bool differs_from_mode(int64_t pts) const;
    // Whether decoding on cannot give the mode's picture of the frame with this timestamp:
    // its packet has been decoded in this run into another picture, or the decoder holds an
    // unfiltered reference that later pictures would predict from.
    bool needs_seek_for(int64_t pts) const { return unfiltered_reference_ || differs_from_mode(pts); }
    // After a seek: the decoder holds no picture of the earlier run.
    void start_run();

private:
    DeblockingMode mode_ = DeblockingMode::Skip;
    int length_size_ = 0;
    bool h264_packets_ = true;
    bool unfiltered_reference_ = false;
    std::unordered_set<int64_t> other_pictures_;
};
