#pragma once

#include <cstdint>

#include "h264/bit_reader.hpp"
#include "syntax/parameter_syntax.hpp"
#include "syntax/reference_syntax.hpp"

enum SliceKind { kSliceP = 0, kSliceB = 1, kSliceI = 2, kSliceSP = 3, kSliceSI = 4 };

// A slice header, read in full so that the slice's data follows where it ends.
struct SliceSyntaxHeader {
    const SequenceSyntax* sequence = nullptr;
    const PictureSyntax* picture = nullptr;
    int nal_type = 0;
    int ref_idc = 0;
    uint32_t first_mb = 0;
    // slice_type % 5: a SliceKind.
    int kind = kSliceI;
    int colour_plane = 0;
    uint32_t frame_num = 0;
    bool field = false;
    bool bottom_field = false;
    bool mbaff = false;
    bool direct_spatial = false;
    // Of a frame, its bottom field's picture order count less its top field's (8.2.1).
    int32_t bottom_order_offset = 0;
    // pic_order_cnt_lsb (order count type 0) and delta_pic_order_cnt[0] (type 1), from which
    // a second field's order count follows its first field's.
    int32_t order_lsb = 0;
    int32_t order_delta = 0;
    std::array<int, 2> references{1, 1};
    int cabac_init_idc = 0;
    // SliceQPY.
    int qp = 26;
    int disable_deblocking = 0;
    int alpha_offset = 0;
    int beta_offset = 0;
    // What inter prediction needs to name and weigh the slice's references, and what the
    // picture does to the decoder's reference pictures.
    std::array<std::vector<ListModification>, 2> modifications;
    WeightTable weights;
    ReferenceMarking marking;
};

// Reads the header of a slice unit from its payload (emulation prevention removed, header byte
// off), leaving `reader` at the first bit of slice_data(). Returns an empty string where the
// header was read, else why it cannot be parsed: a parameter set missing, slice groups,
// damage.
// The picture order count of the second field of a frame less that of its first field, from
// the first slice headers of the two (8.2.1): their lsb apart, across the wrap nearer than
// half the range (type 0); their deltas apart, and the offset of the bottom field from the
// top one (type 1); none (type 2).
int32_t second_field_order_difference(const SliceSyntaxHeader& first, const SliceSyntaxHeader& second,
                                      const SequenceSyntax& sequence);

const char* read_slice_syntax_header(BitReader& reader, int nal_type, int ref_idc, const SyntaxParameterSets& sets,
                                     SliceSyntaxHeader& header);
