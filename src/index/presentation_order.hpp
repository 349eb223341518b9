#pragma once

#include <cstdint>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "ffmpeg/handles.hpp"

// What the H.264 parser reads from one packet's slice headers, without decoding it.
struct PictureOrder {
    bool has_picture = false;
    bool is_key = false;
    // Picture order count: the order of presentation among the pictures that follow the
    // same key picture.
    int32_t poc = 0;
    AVPictureStructure structure = AV_PICTURE_STRUCTURE_UNKNOWN;
};

// Reads the picture order of every packet of an H.264 stream during the opening scan, so
// that files whose packets carry no presentation timestamps (raw Annex B, AVI, MPEG-PS) can
// still number their frames in presentation order.
class PresentationOrderReader {
public:
    // Returns with nothing to read when the stream is not H.264 or the parser cannot start.
    explicit PresentationOrderReader(const AVCodecParameters* codecpar);

    PictureOrder read(const AVPacket& packet);

private:
    ParserHandle parser_;
    // The context the parser reads the stream's parameter sets into; never opened.
    CodecContextHandle parser_context_;
};

// Presentation numbers 0, 1, 2, ... for the packets of a stream in file order, in the order
// FFmpeg's H.264 decoder outputs their pictures: every key picture begins a new group, which
// is output after all pictures decoded before it, and within a group pictures come out by
// picture order count. A packet without a picture, or with the second field of a field pair,
// gets AV_NOPTS_VALUE.
std::vector<int64_t> number_in_presentation_order(const std::vector<PictureOrder>& pictures);
