#include "reconstruct/reference_lists.hpp"

#include <algorithm>

#include "reconstruct/rebuilt_picture.hpp"

namespace {

constexpr int kSliceIdr = 5;

// 8.2.4.2.1: short-term frames by descending PicNum, then long-term by ascending
// LongTermPicNum; entries are positions in `held`.
std::vector<int> initial_list(const std::vector<HeldReference>& held, const ReferenceMarker& marking,
                              uint32_t frame_num) {
    std::vector<int> list(held.size());
    for (std::size_t i = 0; i < held.size(); ++i) {
        list[i] = static_cast<int>(i);
    }
    std::sort(list.begin(), list.end(), [&](int a, int b) {
        const HeldReference& x = held[static_cast<std::size_t>(a)];
        const HeldReference& y = held[static_cast<std::size_t>(b)];
        if (x.long_term != y.long_term) {
            return !x.long_term;
        }
        return x.long_term ? x.long_term_index < y.long_term_index
                           : marking.pic_num(x, frame_num) > marking.pic_num(y, frame_num);
    });
    return list;
}

int find_reference(const std::vector<HeldReference>& held, const ReferenceMarker& marking, uint32_t frame_num,
                   bool long_term, int32_t number) {
    for (std::size_t i = 0; i < held.size(); ++i) {
        const bool named = long_term ? held[i].long_term && static_cast<int32_t>(held[i].long_term_index) == number
                                     : !held[i].long_term && marking.pic_num(held[i], frame_num) == number;
        if (named) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// 8.2.4.3: each operation puts the picture it names at the next index and removes it from
// further down the list.
void modify_list(const std::vector<HeldReference>& held, const ReferenceMarker& marking,
                 const SliceSyntaxHeader& header, std::size_t active, std::vector<int>& list) {
    const int32_t max_pic_num = marking.max_frame_num();
    const auto current = static_cast<int32_t>(header.frame_num);
    int32_t predicted = current;
    std::size_t index = 0;
    for (const ListModification& modification : header.modifications[0]) {
        int found = -1;
        if (modification.idc == 2) {
            found = find_reference(held, marking, header.frame_num, true, static_cast<int32_t>(modification.value));
        } else {
            const auto difference = static_cast<int32_t>(modification.value) + 1;
            predicted += modification.idc == 0 ? -difference : difference;
            predicted += predicted < 0 ? max_pic_num : predicted >= max_pic_num ? -max_pic_num : 0;
            const int32_t number = predicted > current ? predicted - max_pic_num : predicted;
            found = find_reference(held, marking, header.frame_num, false, number);
        }
        list.resize(active, -1);
        list.insert(list.begin() + static_cast<std::ptrdiff_t>(std::min(index, list.size())), found);
        ++index;
        for (std::size_t i = index; i < list.size();) {
            if (found >= 0 && list[i] == found) {
                list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
            } else {
                ++i;
            }
        }
    }
}

}  // namespace

ReferenceMarker::ReferenceMarker(int frame_num_bits, int max_reference_frames)
    : max_frame_num_(int32_t{1} << frame_num_bits),
      max_references_(static_cast<std::size_t>(std::max(max_reference_frames, 1))) {}

int32_t ReferenceMarker::pic_num(const HeldReference& reference, uint32_t current_frame_num) const {
    // FrameNumWrap: frames numbered after the current one were numbered before the last wrap.
    const auto frame_num = static_cast<int32_t>(reference.frame_num);
    return reference.frame_num > current_frame_num ? frame_num - max_frame_num_ : frame_num;
}

void ReferenceMarker::mark(const EarlierPicture& picture) {
    const SliceSyntaxHeader& header = picture.header;
    if (header.ref_idc == 0) {
        return;
    }
    HeldReference current{picture.frame, picture.order_count, header.frame_num, false, 0};
    if (header.nal_type == kSliceIdr) {
        held_.clear();
        current.long_term = header.marking.long_term_reference;
        long_term_indices_ = current.long_term ? 1 : 0;
        held_.push_back(current);
        return;
    }
    if (header.marking.adaptive) {
        const bool reset = std::any_of(header.marking.operations.begin(), header.marking.operations.end(),
                                       [](const MarkingOperation& operation) { return operation.operation == 5; });
        if (adaptive(picture)) {
            return;
        }
        // After a memory reset the picture counts as frame_num 0 (8.2.1).
        current.frame_num = reset ? 0 : current.frame_num;
    } else {
        sliding_window(header.frame_num);
    }
    held_.push_back(current);
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

bool ReferenceMarker::adaptive(const EarlierPicture& picture) {
    const SliceSyntaxHeader& header = picture.header;
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
                held_.push_back(HeldReference{picture.frame, picture.order_count, current, true, operation.first});
                current_long_term = true;
                break;
            default:
                break;
        }
    }
    return current_long_term;
}

std::vector<std::vector<HeldReference>> p_reference_lists(const FrameSyntax& syntax) {
    for (const SliceSyntaxHeader& slice : syntax.slices) {
        if (slice.kind == kSliceB) {
            throw PredictionNotBuilt("The frame holds B slices: their inter prediction is not built yet");
        }
        if (slice.field) {
            throw PredictionNotBuilt("Field pictures' inter prediction is not built yet");
        }
    }
    ReferenceMarker marking(syntax.sequence.frame_num_bits, syntax.sequence.reference_frames);
    for (const EarlierPicture& picture : syntax.earlier) {
        marking.mark(picture);
    }
    std::vector<std::vector<HeldReference>> lists;
    for (const SliceSyntaxHeader& slice : syntax.slices) {
        const auto active = static_cast<std::size_t>(slice.references[0]);
        std::vector<int> list = initial_list(marking.held(), marking, slice.frame_num);
        modify_list(marking.held(), marking, slice, active, list);
        list.resize(active, -1);
        std::vector<HeldReference>& references = lists.emplace_back(active);
        for (std::size_t i = 0; i < active; ++i) {
            if (list[i] >= 0) {
                references[i] = marking.held()[static_cast<std::size_t>(list[i])];
            }
        }
    }
    return lists;
}

void name_references(const FrameSyntax& syntax, const std::vector<std::vector<HeldReference>>& lists,
                     std::vector<MotionRecord>& field) {
    const std::size_t blocks_per_row = 4 * static_cast<std::size_t>(syntax.coded_cols);
    for (std::size_t i = 0; i < field.size(); ++i) {
        MotionRecord& block = field[i];
        const std::size_t mb = (i / blocks_per_row / 4) * syntax.coded_cols + (i % blocks_per_row) / 4;
        const int slice = syntax.coded_records[mb].slice;
        if (block.ref_idx[0] < 0 || slice < 0 || static_cast<std::size_t>(slice) >= lists.size()) {
            continue;
        }
        const std::vector<HeldReference>& list = lists[static_cast<std::size_t>(slice)];
        const auto index = static_cast<std::size_t>(block.ref_idx[0]);
        const int32_t count = index < list.size() ? list[index].order_count : -1;
        block.ref_poc[0] = count;
    }
}
