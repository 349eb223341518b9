#pragma once

#include <cstdint>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "ffmpeg/handles.hpp"
#include "h264/header_reader.hpp"

// What the H.264 parser reads from one packet's slice headers, without decoding it.
struct PictureOrder {
    // Whether the parser read a slice header: the packet holds a picture whose order is known.
    bool has_picture = false;
    // Whether the packet's NAL units could be told and none is a slice. A packet that is
    // neither (damaged beyond reading) may still hold a picture the decoder makes something of.
    bool lacks_picture = false;
    // An IDR picture or, where order counts were read, a recovery point.
    bool is_key = false;
    bool idr = false;
    // See SliceFacts::memory_reset.
    bool memory_reset = false;
    // Picture order count, where read: the order of presentation among the pictures that
    // follow the same key picture.
    int32_t poc = 0;
    AVPictureStructure structure = AV_PICTURE_STRUCTURE_UNKNOWN;
};

// Reads what tells the pictures of an H.264 stream apart, packet by packet, during the
// opening scan: with the module's own reading of the slice headers whether a packet holds a
// picture, an IDR picture, a field; and, `with_order_counts`, with FFmpeg's H.264 parser the
// picture order counts and key pictures, and the memory resets, which only a numbering from
// the bitstream needs and which cost several times as much to read.
class PresentationOrderReader {
public:
    // Returns with nothing to read when the stream is not H.264 or the parser cannot start.
    PresentationOrderReader(const AVCodecParameters* codecpar, bool with_order_counts);

    bool can_read() const { return readable_; }
    bool reads_order_counts() const { return parser_ != nullptr; }
    // The display window of the first picture's sequence parameter set.
    const std::optional<CodedWindow>& first_crop() const { return headers_.first_crop(); }

    PictureOrder read(const AVPacket& packet);

private:
    PictureOrder read_order_counts(const AVPacket& packet);

    bool readable_ = false;
    ParserHandle parser_;
    // The context the parser reads the stream's parameter sets into; never opened.
    CodecContextHandle parser_context_;
    H264HeaderReader headers_;
};
