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
    // An IDR picture or a recovery point.
    bool is_key = false;
    bool idr = false;
    // See SliceFacts::memory_reset.
    bool memory_reset = false;
    // Picture order count: the order of presentation among the pictures that follow the
    // same key picture.
    int32_t poc = 0;
    AVPictureStructure structure = AV_PICTURE_STRUCTURE_UNKNOWN;
};

// Reads the picture order of every packet of an H.264 stream during the opening scan, with
// FFmpeg's H.264 parser and the module's own reading of the slice headers, so that the frames
// can be numbered as the decoder outputs them whatever the container's timestamps say.
class PresentationOrderReader {
public:
    // Returns with nothing to read when the stream is not H.264 or the parser cannot start.
    explicit PresentationOrderReader(const AVCodecParameters* codecpar);

    bool can_read() const { return parser_ != nullptr; }
    // The display window of the first picture's sequence parameter set.
    const std::optional<CodedWindow>& first_crop() const { return headers_.first_crop(); }

    PictureOrder read(const AVPacket& packet);

private:
    ParserHandle parser_;
    // The context the parser reads the stream's parameter sets into; never opened.
    CodecContextHandle parser_context_;
    H264HeaderReader headers_;
};
