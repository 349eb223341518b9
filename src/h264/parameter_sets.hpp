#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "ffmpeg/cropping.hpp"
#include "h264/nal_units.hpp"
#include "h264/rbsp_reader.hpp"

// What of a sequence parameter set the slice headers and the picture order counts need, and
// its display window.
struct SequenceParameters {
    bool valid = false;
    int chroma_format = 1;
    bool separate_colour_planes = false;
    int frame_num_bits = 4;
    int order_count_type = 0;
    int order_count_lsb_bits = 4;
    bool delta_order_always_zero = false;
    int32_t offset_for_non_reference = 0;
    int32_t offset_for_top_to_bottom = 0;
    std::vector<int32_t> reference_frame_offsets;
    bool frame_mbs_only = true;
    CodedWindow window;
};

// What of a picture parameter set the slice headers need.
struct PictureParameters {
    bool valid = false;
    uint32_t sequence = 0;
    bool bottom_field_order_present = false;
    bool redundant_count_present = false;
    bool weighted_prediction = false;
    int weighted_bipred = 0;
    std::array<uint32_t, 2> default_references{1, 1};
};

// The parameter sets a stream has declared so far, by id; a later one replaces an earlier.
struct ParameterSets {
    std::array<SequenceParameters, 32> sequences{};
    std::array<PictureParameters, 256> pictures{};

    // Reads an SPS or PPS unit into the tables; other units and damaged sets change nothing.
    void read(const NalUnit& unit);
};
