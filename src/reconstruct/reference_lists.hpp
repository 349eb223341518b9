#pragma once

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

// Reference picture list 0 of each slice of a P frame, the frame -1 where an index names
// no picture: initialised by descending PicNum
// then ascending LongTermPicNum (8.2.4.2.1) and modified as the slice says (8.2.4.3), over
// the references the pictures decoded before it from its key packet leave marked.
// PredictionNotBuilt for B slices and field pictures.
std::vector<std::vector<HeldReference>> p_reference_lists(const FrameSyntax& syntax);

// Fills the ref_poc of each block of a P frame's motion field that uses list 0 from its
// slice's list.
void name_references(const FrameSyntax& syntax, const std::vector<std::vector<HeldReference>>& lists,
                     std::vector<MotionRecord>& field);
