#pragma once

#include <cstdint>
#include <optional>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "ffmpeg/cropping.hpp"
#include "h264/header_reader.hpp"

// What the headers of one packet tell of its picture, without decoding it.
struct PictureOrder {
    // Whether a slice header was read: the packet holds a picture (a frame or a field).
    bool has_picture = false;
    // Whether the packet's NAL units could be told and none is a slice. A packet that is
    // neither (damaged beyond reading) may still hold a picture the decoder makes something of.
    bool lacks_picture = false;
    bool idr = false;
    bool bipredicted = false;
    // See SliceHeader::memory_reset; read with order counts only.
    bool memory_reset = false;
    // Picture order count, where read: the order of presentation among the pictures that
    // follow the same IDR picture or reset.
    int32_t poc = 0;
    AVPictureStructure structure = AV_PICTURE_STRUCTURE_UNKNOWN;
};

// Reads what tells the pictures of an H.264 stream apart, packet by packet, during the
// opening scan: whether a packet holds a picture, an IDR picture, a field; and,
// `with_order_counts`, the picture order counts and memory resets, which only a numbering
// from the bitstream needs and which cost more to read. Nothing for other codecs.
class PresentationOrderReader {
public:
    PresentationOrderReader(const AVCodecParameters* codecpar, bool with_order_counts);

    bool can_read() const { return headers_.has_value(); }
    bool reads_order_counts() const { return can_read() && with_order_counts_; }
    // The display window of the first picture's sequence parameter set.
    std::optional<CodedWindow> first_window() const;

    PictureOrder read(const AVPacket& packet);

private:
    const bool with_order_counts_;
    std::optional<H264HeaderReader> headers_;
};
