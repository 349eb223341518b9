#pragma once

#include <cstdint>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "h264/nal_units.hpp"
#include "h264/parameter_sets.hpp"

// The fields of a slice header that tell pictures apart and order them.
struct SliceHeader {
    const SequenceParameters* sequence = nullptr;
    bool idr = false;
    bool reference = false;
    // A B slice: the picture may be shown before pictures decoded ahead of it.
    bool bipredicted = false;
    AVPictureStructure structure = AV_PICTURE_STRUCTURE_FRAME;
    uint32_t frame_num = 0;
    // Read only `through_marking` (read_slice_header).
    uint32_t order_count_lsb = 0;
    int32_t delta_order_bottom = 0;
    int32_t delta_order[2] = {0, 0};
    // A memory management control operation 5: the decoder forgets every reference picture
    // and counts frame numbers anew, and FFmpeg outputs what it decoded before first.
    bool memory_reset = false;
};

// Reads a slice unit's header with the parameter sets it refers to: as far as the picture
// structure, or `through_marking` as far as the reference picture marking. Returns false where
// the parameter sets are missing or the header ends early (damage).
bool read_slice_header(const NalUnit& unit, const ParameterSets& sets, bool through_marking, SliceHeader& header);
