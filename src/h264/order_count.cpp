#include "h264/order_count.hpp"

#include <algorithm>
#include <limits>

namespace {

int32_t clamped(int64_t count) {
    return static_cast<int32_t>(std::clamp<int64_t>(count, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
}

// The type 1 count: expected from the frame number by the sequence's cycle of offsets.
int64_t expected_count(const SequenceParameters& sequence, int64_t frame_num_offset, uint32_t frame_num,
                       bool reference) {
    const auto cycle = static_cast<int64_t>(sequence.reference_frame_offsets.size());
    int64_t absolute = cycle != 0 ? frame_num_offset + frame_num : 0;
    if (!reference && absolute > 0) {
        --absolute;
    }
    int64_t expected = 0;
    if (absolute > 0) {
        int64_t per_cycle = 0;
        for (const int32_t offset : sequence.reference_frame_offsets) {
            per_cycle += offset;
        }
        expected = (absolute - 1) / cycle * per_cycle;
        for (int64_t i = 0; i <= (absolute - 1) % cycle; ++i) {
            expected += sequence.reference_frame_offsets[static_cast<std::size_t>(i)];
        }
    }
    return reference ? expected : expected + sequence.offset_for_non_reference;
}

}  // namespace

int32_t OrderCounter::next(const SliceHeader& header) {
    const SequenceParameters& sequence = *header.sequence;
    if (header.idr) {
        prev_frame_num_ = 0;
        prev_frame_num_offset_ = 0;
        prev_msb_ = 1 << 16;
        prev_lsb_ = -1;
    }
    const auto frame_num = static_cast<int32_t>(header.frame_num);
    int64_t frame_num_offset = prev_frame_num_offset_;
    if (frame_num < prev_frame_num_) {
        frame_num_offset += int64_t{1} << sequence.frame_num_bits;
    }
    int64_t top = 0;
    int64_t bottom = 0;
    int32_t msb = prev_msb_;
    const auto lsb = static_cast<int32_t>(header.order_count_lsb);
    if (sequence.order_count_type == 0) {
        const int32_t max_lsb = 1 << sequence.order_count_lsb_bits;
        const int32_t previous_lsb = prev_lsb_ < 0 ? lsb : prev_lsb_;
        if (lsb < previous_lsb && previous_lsb - lsb >= max_lsb / 2) {
            msb = prev_msb_ + max_lsb;
        } else if (lsb > previous_lsb && previous_lsb - lsb < -max_lsb / 2) {
            msb = prev_msb_ - max_lsb;
        }
        top = bottom = int64_t{msb} + lsb;
        if (header.structure == AV_PICTURE_STRUCTURE_FRAME) {
            bottom += header.delta_order_bottom;
        }
    } else if (sequence.order_count_type == 1) {
        top = expected_count(sequence, frame_num_offset, header.frame_num, header.reference) + header.delta_order[0];
        bottom = top + sequence.offset_for_top_to_bottom;
        if (header.structure == AV_PICTURE_STRUCTURE_FRAME) {
            bottom += header.delta_order[1];
        }
    } else {
        top = bottom = 2 * (frame_num_offset + frame_num) - (header.reference ? 0 : 1);
    }
    // The state the picture leaves: a reference picture's count is the base of the next, a
    // reset makes its frame number 0 (and, in FFmpeg, leaves the counts as they are).
    if (header.reference) {
        prev_msb_ = msb;
        prev_lsb_ = lsb;
    }
    prev_frame_num_offset_ = clamped(frame_num_offset);
    prev_frame_num_ = header.memory_reset ? 0 : frame_num;
    const int64_t count = header.structure == AV_PICTURE_STRUCTURE_TOP_FIELD      ? top
                          : header.structure == AV_PICTURE_STRUCTURE_BOTTOM_FIELD ? bottom
                                                                                  : std::min(top, bottom);
    return clamped(count);
}
