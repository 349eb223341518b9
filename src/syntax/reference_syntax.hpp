#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "h264/bit_reader.hpp"

// One ref_pic_list_modification() operation: modification_of_pic_nums_idc (0 and 1: a
// difference of picture numbers, 2: a long-term picture number) and its value.
struct ListModification {
    int idc = 0;
    uint32_t value = 0;
};

// A reference's weights and offsets (Y, Cb, Cr) for explicit weighted prediction; where the
// table codes none they are the defaults (weight 2^denominator, offset 0).
struct PredictionWeight {
    std::array<int, 3> weight{1, 1, 1};
    std::array<int, 3> offset{0, 0, 0};
};

// pred_weight_table(), where the slice codes one.
struct WeightTable {
    bool coded = false;
    int luma_log2_denominator = 0;
    int chroma_log2_denominator = 0;
    // Per list, where coded: on the heap, so that the headers of the many pictures a frame's
    // context holds, which never carry weights there, stay small to copy.
    std::vector<std::array<PredictionWeight, 32>> entries;
};

// One memory_management_control_operation with its operands (difference_of_pic_nums_minus1,
// long_term_pic_num, long_term_frame_idx or max_long_term_frame_idx_plus1, as it takes them).
struct MarkingOperation {
    int operation = 0;
    uint32_t first = 0;
    uint32_t second = 0;
};

// dec_ref_pic_marking().
struct ReferenceMarking {
    // Of an IDR picture.
    bool long_term_reference = false;
    // adaptive_ref_pic_marking_mode_flag: the operations replace the sliding window.
    bool adaptive = false;
    std::vector<MarkingOperation> operations;
};

// Each reads its structure, returning false where the lists run on past any sensible length
// (damage). `lists` is 1 for P slices, 2 for B slices; `references` the active counts.
bool read_list_modifications(BitReader& reader, int lists, std::array<std::vector<ListModification>, 2>& out);
void read_weight_table(BitReader& reader, int lists, const std::array<int, 2>& references, bool chroma,
                       WeightTable& table);
bool read_marking(BitReader& reader, bool idr, ReferenceMarking& marking);
