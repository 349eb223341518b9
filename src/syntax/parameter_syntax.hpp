#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "ffmpeg/cropping.hpp"
#include "h264/bit_reader.hpp"

// Everything of a sequence parameter set that parsing a slice's macroblocks needs.
struct SequenceSyntax {
    bool valid = false;
    int profile = 0;
    int chroma_format = 1;
    bool separate_colour_planes = false;
    int bit_depth_luma = 8;
    int bit_depth_chroma = 8;
    bool transform_bypass = false;
    // Flat 16 where absent; 6 lists of 16 then 6 of 64, in the order the set codes them and
    // in zig-zag order, defaults and fall-backs resolved.
    std::array<std::array<uint8_t, 64>, 12> scaling{};
    bool scaling_present = false;
    int frame_num_bits = 4;
    int order_count_type = 0;
    int order_count_lsb_bits = 4;
    bool delta_order_always_zero = false;
    // offset_for_top_to_bottom_field (type 1).
    int32_t top_to_bottom_offset = 0;
    int reference_frames = 0;
    int width_mbs = 0;
    // Of frames: twice the coded map units where fields are coded.
    int height_mbs = 0;
    bool frame_mbs_only = true;
    bool mb_adaptive_frame_field = false;
    bool direct_8x8_inference = false;
    // The display window, in luma samples.
    CodedWindow window;

    // ChromaArrayType: 0 for monochrome and for separately coded colour planes.
    int chroma_array_type() const { return separate_colour_planes ? 0 : chroma_format; }
};

// Everything of a picture parameter set that parsing a slice's macroblocks needs.
struct PictureSyntax {
    bool valid = false;
    uint32_t sequence = 0;
    bool cabac = false;
    bool bottom_field_order_present = false;
    // More than one slice group (FMO): refused by the parser, as by FFmpeg's decoder.
    int slice_groups = 1;
    std::array<int, 2> default_references{1, 1};
    bool weighted_prediction = false;
    int weighted_bipred = 0;
    int init_qp = 26;
    int chroma_qp_offset = 0;
    int second_chroma_qp_offset = 0;
    bool deblocking_control = false;
    bool constrained_intra = false;
    bool redundant_count_present = false;
    bool transform_8x8 = false;
    // The picture's own lists with their fall-backs resolved, as SequenceSyntax::scaling,
    // where it sends them (scaling_present); else the sequence's in force are used.
    bool scaling_present = false;
    std::array<std::array<uint8_t, 64>, 12> scaling{};
};

// The parameter sets in force, by id; a later one replaces an earlier of the same id.
struct SyntaxParameterSets {
    std::array<SequenceSyntax, 32> sequences{};
    std::array<PictureSyntax, 256> pictures{};

    // Reads an SPS (type 7) or PPS (type 8) from its payload (emulation prevention removed,
    // header byte off); a damaged set leaves the table as it was.
    void read(int nal_type, const uint8_t* payload, int size);
};
