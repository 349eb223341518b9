#pragma once

#include <cstdint>
#include <vector>

#include "syntax/frame_syntax_reader.hpp"

// A reference frame the decoder holds (8.2.5): the session's frame that shows it, its
// picture order count and frame_num, and whether it is a long-term reference and its
// LongTermFrameIdx. A field picture's list entry names one field of such a frame.
struct HeldReference {
    int32_t frame = -1;
    int32_t order_count = -1;
    uint32_t frame_num = 0;
    bool long_term = false;
    uint32_t long_term_index = 0;
    // The frame's fields that are references: bit 0 the top field's, bit 1 the bottom's.
    uint8_t fields = 3;
    // Of a list entry of a field picture, the field it names (0 top, 1 bottom); else -1.
    int8_t parity = -1;
    // Its bottom field's picture order count less its top field's.
    int32_t bottom_order_offset = 0;
    // Whether it is the frame being decoded, of which only the first field is.
    bool current = false;
};

// The picture order count of field `parity` (0 top, 1 bottom) of a frame whose own count,
// the lower of its two fields' (8.2.1), is `order_count`.
int32_t field_order_count(int32_t order_count, int32_t bottom_offset, int parity);

// The decoded reference picture marking of frames (8.2.5.3 sliding window, 8.2.5.4 memory
// management control operations), applied picture after picture in decoding order; of field
// pictures the sliding window and operation 1 (PredictionNotBuilt for their other operations).
class ReferenceMarker {
public:
    ReferenceMarker(int frame_num_bits, int max_reference_frames);

    // Marks the references after decoding `picture`. A field marks its frame with both
    // fields, the second field being in the same packet or the next one, which then marks
    // nothing but its order count (the frame's is the lower of its fields'); unless
    // `first_field_only`, for the first field of the frame being decoded.
    void mark(const EarlierPicture& picture, bool first_field_only = false);
    // Holds the frames missing between the frame_num of the picture marked last and that of
    // the picture `header` begins (8.2.5.2), before its lists are made; mark() does this
    // itself for the pictures it marks.
    void fill_frame_num_gap(const SliceSyntaxHeader& header);

    // In the order they were marked.
    const std::vector<HeldReference>& held() const { return held_; }
    // PicNum of a short-term frame seen from the picture with `current_frame_num`.
    int32_t pic_num(const HeldReference& reference, uint32_t current_frame_num) const;
    int32_t max_frame_num() const { return max_frame_num_; }

private:
    void sliding_window(uint32_t current_frame_num);
    // One field's or frame's marking; mark() takes a packet's second field after its first.
    void mark_picture(int32_t frame, int32_t order_count, const SliceSyntaxHeader& header, bool first_field_only);
    // Returns whether the current picture was made a long-term reference (operation 6).
    bool adaptive(int32_t frame, int32_t order_count, const SliceSyntaxHeader& header);
    void unmark_fields(const SliceSyntaxHeader& header);
    void discard_beyond_capacity();
    void forget_long_term_index(uint32_t index);

    const int32_t max_frame_num_;
    const std::size_t max_references_;
    std::vector<HeldReference> held_;
    // MaxLongTermFrameIdx + 1; 0 for "no long-term frame indices".
    uint32_t long_term_indices_ = 0;
    // Whether the picture marked last was a first field.
    bool second_field_awaited_ = false;
    // The frame_num of the picture marked last (0 after a memory reset); -1 before the first.
    int64_t previous_frame_num_ = -1;
};
