#pragma once

#include <cstdint>
#include <optional>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "ffmpeg/cropping.hpp"
#include "h264/order_count.hpp"
#include "h264/parameter_sets.hpp"
#include "h264/slice_header.hpp"

// What one packet's first slice header says of its picture.
struct SliceFacts {
    // Whether any NAL unit could be found in the packet: where one could, and none of them
    // is a slice, the packet holds no picture (parameter sets, SEI, an end of sequence).
    bool readable = false;
    bool has_slice = false;
    // Whether the slice header could be read as far as the fields below need.
    bool header_read = false;
    bool idr = false;
    bool bipredicted = false;
    AVPictureStructure structure = AV_PICTURE_STRUCTURE_UNKNOWN;
    // Read `with_order_counts` only (H264HeaderReader).
    bool memory_reset = false;
    int32_t order_count = 0;
};

// Reads an H.264 stream's parameter sets (from the extradata and in-band) and the first
// slice header of each packet, packet by packet in decoding order. `with_order_counts` it
// reads each header as far as the reference picture marking and counts picture order as
// FFmpeg's decoder does; otherwise only as far as the picture structure, which costs far
// less. A header that cannot be read (a parameter set missing, damage, an extension unit)
// tells nothing: its facts stay false.
class H264HeaderReader {
public:
    H264HeaderReader(const AVCodecParameters& codecpar, bool with_order_counts);

    SliceFacts read(const AVPacket& packet);

    // The display window of the sequence parameter set the first slice read referred to.
    const std::optional<CodedWindow>& first_window() const { return first_window_; }

private:
    SliceFacts read_slice(const NalUnit& unit);

    const bool with_order_counts_;
    int length_size_ = 0;
    ParameterSets sets_;
    OrderCounter order_counter_;
    std::optional<CodedWindow> first_window_;
};
