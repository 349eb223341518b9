#pragma once

#include <array>
#include <cstdint>
#include <optional>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "ffmpeg/cropping.hpp"
#include "h264/nal_units.hpp"

// What one packet's first slice header says beyond what FFmpeg's parser reports.
struct SliceFacts {
    // Whether any NAL unit could be found in the packet: where one could, and none of them
    // is a slice, the packet holds no picture (parameter sets, SEI, an end of sequence).
    bool readable = false;
    bool has_slice = false;
    // Whether the slice header could be read as far as the fields below need.
    bool header_read = false;
    bool idr = false;
    AVPictureStructure structure = AV_PICTURE_STRUCTURE_UNKNOWN;
    // A memory management control operation 5: after this picture the decoder starts over
    // as at an IDR picture (frame numbers and picture order counts begin anew), and FFmpeg
    // outputs every picture decoded before it first.
    bool memory_reset = false;
};

// Reads H.264 parameter sets (from the extradata and in-band) and the first slice header of
// each packet, as far as the reference picture marking. A header that cannot be read (a
// parameter set missing, damage, an extension NAL unit) tells nothing: its facts stay false.
class H264HeaderReader {
public:
    explicit H264HeaderReader(const AVCodecParameters& codecpar);

    // `through_marking`: read the header as far as the reference picture marking, for
    // memory_reset; otherwise only as far as the picture structure, which costs far less.
    SliceFacts read(const AVPacket& packet, bool through_marking);

    // The display window of the sequence parameter set the first slice read referred to.
    const std::optional<CodedWindow>& first_crop() const { return first_crop_; }

    struct Sequence {
        bool valid = false;
        int chroma_format = 1;
        bool separate_colour_planes = false;
        int frame_num_bits = 4;
        int order_count_type = 0;
        int order_count_lsb_bits = 4;
        bool delta_order_always_zero = false;
        bool frame_mbs_only = true;
        CodedWindow crop;
    };
    struct Picture {
        bool valid = false;
        int sequence = 0;
        bool bottom_field_order_present = false;
        bool redundant_count_present = false;
        bool weighted_prediction = false;
        int weighted_bipred = 0;
        std::array<uint32_t, 2> default_references{1, 1};
    };

private:
    void read_parameter_set(const NalUnit& unit);
    SliceFacts read_slice(const NalUnit& unit, bool through_marking);

    int length_size_ = 0;
    std::array<Sequence, 32> sequences_{};
    std::array<Picture, 256> pictures_{};
    std::optional<CodedWindow> first_crop_;
};
