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
#include "h264/parameter_set_history.hpp"

// What the headers of one packet tell of its picture, without decoding it.
struct PictureOrder {
    // Whether a slice header was read: the packet holds a picture (a frame or a field).
    bool has_picture = false;
    // Whether the packet's NAL units could be told and none is a slice (parameter sets, SEI,
    // an end of sequence), or the decoder refuses the packet whole. A packet that is neither (damaged beyond reading) may still hold
    // a picture the decoder makes something of.
    bool lacks_picture = false;
    bool idr = false;
    // A B slice: the picture may be shown before pictures decoded ahead of it.
    bool bipredicted = false;
    AVPictureStructure structure = AV_PICTURE_STRUCTURE_UNKNOWN;
    // Read `with_order_counts` only (H264HeaderReader): see SliceHeader::memory_reset, and the
    // picture order count, the order of presentation among the pictures that follow the same
    // IDR picture or reset.
    bool memory_reset = false;
    int32_t poc = 0;
    // The slice's frame_num and its modulus (2 to the power of the SPS's bits for it), and
    // whether the picture is a reference.
    uint32_t frame_num = 0;
    uint32_t frame_num_modulus = 16;
    bool reference = false;
    // recovery_frame_cnt of a recovery point SEI message ahead of the slice, or -1.
    int64_t recovery_frames = -1;
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

    PictureOrder read(const AVPacket& packet);

    // The display window of the sequence parameter set the first slice read referred to.
    const std::optional<CodedWindow>& first_window() const { return first_window_; }
    // The parameter sets in force before each packet read so far, counted from the first.
    const ParameterSetHistory& parameter_set_history() const { return history_; }

private:
    PictureOrder read_slice(const NalUnit& unit);
    void read_parameter_set(int32_t packet, const NalUnit& unit);

    const bool with_order_counts_;
    int length_size_ = 0;
    ParameterSets sets_;
    OrderCounter order_counter_;
    std::optional<CodedWindow> first_window_;
    ParameterSetHistory history_;
    int32_t packets_read_ = 0;
};
