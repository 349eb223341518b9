#include "reconstruct/reference_marking.hpp"

#include <algorithm>

#include "h264/nal_units.hpp"
#include "reconstruct/rebuilt_picture.hpp"

ReferenceMarker::ReferenceMarker(int frame_num_bits, int max_reference_frames)
    : max_frame_num_(int32_t{1} << frame_num_bits),
      max_references_(static_cast<std::size_t>(std::max(max_reference_frames, 1))) {}

int32_t ReferenceMarker::pic_num(const HeldReference& reference, uint32_t current_frame_num) const {
    // FrameNumWrap: frames numbered after the current one were numbered before the last wrap.
    const auto frame_num = static_cast<int32_t>(reference.frame_num);
    return reference.frame_num > current_frame_num ? frame_num - max_frame_num_ : frame_num;
}

int32_t field_order_count(int32_t order_count, int32_t bottom_offset, int parity) {
    const int32_t top = order_count - std::min(bottom_offset, 0);
    return parity == 0 ? top : top + bottom_offset;
}

// A frame_num that skips numbers after the previous picture's leaves frames "non-existing"
// in their place, each a short-term reference under the sliding window. FFmpeg fills each
// with the samples of the newest short-term reference before it, two order counts on, and
// makes no more of them than max_num_ref_frames, the most the window could keep; a gap with
// no short-term reference before it gives frames of no picture here. The first picture
// marked has no previous number to compare with: the decoding that reaches it began there.
void ReferenceMarker::fill_frame_num_gap(const SliceSyntaxHeader& header) {
    if (header.nal_type == kSliceIdr || previous_frame_num_ < 0) {
        return;
    }
    const int64_t current = header.frame_num;
    const auto follows = [&](int64_t previous) {
        return current == previous || current == (previous + 1) % max_frame_num_;
    };
    int64_t previous = previous_frame_num_;
    const int64_t unwrapped = previous > current ? previous - max_frame_num_ : previous;
    const auto most = static_cast<int64_t>(max_references_);
    if (current - unwrapped > most) {
        previous = (current - most - 1 + max_frame_num_) % max_frame_num_;
    }
    while (!follows(previous)) {
        previous = (previous + 1) % max_frame_num_;
        HeldReference missing;
        const auto newest = std::find_if(held_.rbegin(), held_.rend(), [](const HeldReference& r) { return !r.long_term; });
        if (newest != held_.rend()) {
            missing.frame = newest->frame;
            missing.order_count = newest->order_count + 2;
        }
        missing.frame_num = static_cast<uint32_t>(previous);
        sliding_window(missing.frame_num);
        held_.push_back(missing);
    }
    previous_frame_num_ = previous;
}

void ReferenceMarker::mark(const EarlierPicture& picture, bool first_field_only) {
    mark_picture(picture.frame, picture.order_count, picture.header, first_field_only);
    if (picture.second_field) {
        mark_picture(picture.frame, picture.second_field_order_count, *picture.second_field, false);
    }
}

void ReferenceMarker::mark_picture(int32_t frame, int32_t order_count, const SliceSyntaxHeader& header,
                                   bool first_field_only) {
    fill_frame_num_gap(header);
    previous_frame_num_ = header.frame_num;
    const bool field_operations =
        header.field && header.ref_idc != 0 && header.nal_type != kSliceIdr && header.marking.adaptive;
    // A field's long-term operations may leave a frame with one field long-term and the other
    // short-term, which frames here do not hold: not applied.
    if (field_operations && std::any_of(header.marking.operations.begin(), header.marking.operations.end(),
                                        [](const MarkingOperation& operation) { return operation.operation != 1; })) {
        throw PredictionNotBuilt("The memory management operations of field pictures other than 1 are not applied");
    }
    const bool second_field = header.field && second_field_awaited_ && !held_.empty() &&
                              held_.back().frame_num == header.frame_num && header.nal_type != kSliceIdr;
    second_field_awaited_ = false;
    if (header.ref_idc == 0) {
        return;
    }
    if (second_field) {
        HeldReference& frame_held = held_.back();
        const int32_t first = frame_held.order_count;
        const int32_t top = header.bottom_field ? first : order_count;
        const int32_t bottom = header.bottom_field ? order_count : first;
        frame_held.order_count = std::min(top, bottom);
        frame_held.bottom_order_offset = bottom - top;
        if (field_operations) {
            unmark_fields(header);
        }
        return;
    }
    HeldReference current{frame, order_count, header.frame_num, false, 0};
    current.fields = first_field_only ? (header.bottom_field ? 2 : 1) : 3;
    current.current = first_field_only;
    current.bottom_order_offset = header.bottom_order_offset;
    second_field_awaited_ = header.field;
    if (header.nal_type == kSliceIdr) {
        held_.clear();
        current.long_term = header.marking.long_term_reference;
        long_term_indices_ = current.long_term ? 1 : 0;
        held_.push_back(current);
        return;
    }
    if (field_operations) {
        unmark_fields(header);
    } else if (header.marking.adaptive) {
        const bool reset = std::any_of(header.marking.operations.begin(), header.marking.operations.end(),
                                       [](const MarkingOperation& operation) { return operation.operation == 5; });
        // After a memory reset the picture counts as frame_num 0 (8.2.1).
        if (reset) {
            previous_frame_num_ = 0;
        }
        if (adaptive(frame, order_count, header)) {
            return;
        }
        current.frame_num = reset ? 0 : current.frame_num;
    } else {
        sliding_window(header.frame_num);
    }
    held_.push_back(current);
    discard_beyond_capacity();
}

// More frames held than max_num_ref_frames (a stream that marks without the sliding window
// and frees none): FFmpeg drops the short-term frame it has held longest, or where it holds
// none the long-term frame of the lowest index, and so does the marking here.
void ReferenceMarker::discard_beyond_capacity() {
    if (held_.size() <= max_references_) {
        return;
    }
    const auto oldest = std::find_if(held_.begin(), held_.end(), [](const HeldReference& r) { return !r.long_term; });
    held_.erase(oldest != held_.end()
                    ? oldest
                    : std::min_element(held_.begin(), held_.end(), [](const HeldReference& a, const HeldReference& b) {
                          return a.long_term_index < b.long_term_index;
                      }));
}

// The short-term reference with the smallest FrameNumWrap goes once the frames held fill
// max_num_ref_frames.
void ReferenceMarker::sliding_window(uint32_t current_frame_num) {
    if (held_.size() < max_references_) {
        return;
    }
    auto oldest = held_.end();
    for (auto it = held_.begin(); it != held_.end(); ++it) {
        if (!it->long_term &&
            (oldest == held_.end() || pic_num(*it, current_frame_num) < pic_num(*oldest, current_frame_num))) {
            oldest = it;
        }
    }
    if (oldest != held_.end()) {
        held_.erase(oldest);
    }
}

void ReferenceMarker::forget_long_term_index(uint32_t index) {
    held_.erase(std::remove_if(held_.begin(), held_.end(),
                               [index](const HeldReference& r) { return r.long_term && r.long_term_index == index; }),
                held_.end());
}

// Operation 1 of a field (8.2.5.4.1): the field numbered picNumX no longer a reference, and
// its frame no longer held once neither field is. A field's own parity numbers
// 2 * FrameNumWrap + 1, the other 2 * FrameNumWrap (8.2.4.1).
void ReferenceMarker::unmark_fields(const SliceSyntaxHeader& header) {
    const int32_t current = 2 * static_cast<int32_t>(header.frame_num) + 1;
    const int parity = header.bottom_field ? 1 : 0;
    for (const MarkingOperation& operation : header.marking.operations) {
        const int32_t number = current - static_cast<int32_t>(operation.first + 1);
        for (auto it = held_.begin(); it != held_.end(); ++it) {
            const int32_t wrap = pic_num(*it, header.frame_num);
            const int field_parity = number == 2 * wrap + 1 ? parity : number == 2 * wrap ? 1 - parity : -1;
            if (!it->long_term && field_parity >= 0 && (it->fields & (1 << field_parity)) != 0) {
                it->fields = static_cast<uint8_t>(it->fields & ~(1 << field_parity));
                if (it->fields == 0) {
                    held_.erase(it);
                }
                break;
            }
        }
    }
}

bool ReferenceMarker::adaptive(int32_t frame, int32_t order_count, const SliceSyntaxHeader& header) {
    const uint32_t current = header.frame_num;
    const auto short_term = [&](int32_t number) {
        return std::find_if(held_.begin(), held_.end(), [&](const HeldReference& r) {
            return !r.long_term && pic_num(r, current) == number;
        });
    };
    bool current_long_term = false;
    for (const MarkingOperation& operation : header.marking.operations) {
        const int32_t short_number = static_cast<int32_t>(current) - static_cast<int32_t>(operation.first + 1);
        switch (operation.operation) {
            case 1:
                if (const auto it = short_term(short_number); it != held_.end()) {
                    held_.erase(it);
                }
                break;
            case 2:
                forget_long_term_index(operation.first);
                break;
            case 3:
                forget_long_term_index(operation.second);
                if (const auto it = short_term(short_number); it != held_.end()) {
                    it->long_term = true;
                    it->long_term_index = operation.second;
                }
                break;
            case 4:
                long_term_indices_ = operation.first;
                held_.erase(std::remove_if(held_.begin(), held_.end(),
                                           [this](const HeldReference& r) {
                                               return r.long_term && r.long_term_index >= long_term_indices_;
                                           }),
                            held_.end());
                break;
            case 5:
                held_.clear();
                long_term_indices_ = 0;
                break;
            case 6:
                forget_long_term_index(operation.first);
                held_.push_back(HeldReference{frame, order_count, current, true, operation.first});
                current_long_term = true;
                break;
            default:
                break;
        }
    }
    return current_long_term;
}
