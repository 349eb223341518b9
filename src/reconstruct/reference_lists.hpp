#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "reconstruct/motion_field.hpp"
#include "syntax/frame_syntax_reader.hpp"

// A reference frame the decoder holds (8.2.5): the session's frame that shows it, its
// picture order count and frame_num, and whether it is a long-term reference and its
// LongTermFrameIdx.
struct HeldReference {
    int32_t frame = -1;
    int32_t order_count = -1;
    uint32_t frame_num = 0;
    bool long_term = false;
    uint32_t long_term_index = 0;
};

// The decoded reference picture marking of frames (8.2.5.3 sliding window, 8.2.5.4 memory
// management control operations), applied picture after picture in decoding order.
class ReferenceMarker {
public:
    ReferenceMarker(int frame_num_bits, int max_reference_frames);

    // Marks the references after decoding `picture`.
    void mark(const EarlierPicture& picture);

    // In the order they were marked.
    const std::vector<HeldReference>& held() const { return held_; }
    // PicNum of a short-term frame seen from the picture with `current_frame_num`.
    int32_t pic_num(const HeldReference& reference, uint32_t current_frame_num) const;
    int32_t max_frame_num() const { return max_frame_num_; }

private:
    void sliding_window(uint32_t current_frame_num);
    // Returns whether the current picture was made a long-term reference (operation 6).
    bool adaptive(const EarlierPicture& picture);
    void forget_long_term_index(uint32_t index);

    const int32_t max_frame_num_;
    const std::size_t max_references_;
    std::vector<HeldReference> held_;
    // MaxLongTermFrameIdx + 1; 0 for "no long-term frame indices".
    uint32_t long_term_indices_ = 0;
};

// A slice's reference picture lists 0 and 1 (empty where the slice uses none), each entry's
// frame -1 where its index names no picture.
using SliceLists = std::array<std::vector<HeldReference>, 2>;

// The lists of each slice of a frame: initialised (8.2.4.2.1 for P slices by descending
// PicNum, 8.2.4.2.3 for B slices by picture order count), long-term frames after the short-
// term ones, and modified as the slice says (8.2.4.3), over the references the pictures
// decoded before it from its key packet leave marked. PredictionNotBuilt for field pictures.
std::vector<SliceLists> reference_lists(const FrameSyntax& syntax);

// Fills the ref_poc of each block of a motion field, per list it uses, from its slice's lists.
void name_references(const FrameSyntax& syntax, const std::vector<SliceLists>& lists,
                     std::vector<MotionRecord>& field);
