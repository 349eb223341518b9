#include "reconstruct/reference_lists.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>

#include "h264/nal_units.hpp"
#include "reconstruct/rebuilt_picture.hpp"

namespace {

std::vector<int> positions(const std::vector<HeldReference>& held) {
    std::vector<int> list(held.size());
    for (std::size_t i = 0; i < held.size(); ++i) {
        list[i] = static_cast<int>(i);
    }
    return list;
}

// 8.2.4.2.1: short-term frames by descending PicNum, then long-term by ascending
// LongTermPicNum; entries are positions in `held`.
std::vector<int> initial_p_list(const std::vector<HeldReference>& held, const ReferenceMarker& marking,
                                uint32_t frame_num) {
    std::vector<int> list = positions(held);
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

// 8.2.4.2.3: list 0 (`list` 0) takes the short-term frames shown before the current one,
// nearest first, then those shown after it, nearest first; list 1 the other way round; the
// long-term frames follow by ascending LongTermPicNum.
std::vector<int> initial_b_list(const std::vector<HeldReference>& held, int32_t order_count, int list_number) {
    std::vector<int> list = positions(held);
    const auto group = [&](const HeldReference& r) {
        const bool before = r.order_count < order_count;
        return r.long_term ? 2 : before == (list_number == 0) ? 0 : 1;
    };
    std::sort(list.begin(), list.end(), [&](int a, int b) {
        const HeldReference& x = held[static_cast<std::size_t>(a)];
        const HeldReference& y = held[static_cast<std::size_t>(b)];
        if (group(x) != group(y)) {
            return group(x) < group(y);
        }
        if (x.long_term) {
            return x.long_term_index < y.long_term_index;
        }
        return std::abs(x.order_count - order_count) < std::abs(y.order_count - order_count);
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
                 const SliceSyntaxHeader& header, int list_number, std::vector<int>& list) {
    const auto active = static_cast<std::size_t>(header.references[static_cast<std::size_t>(list_number)]);
    const int32_t max_pic_num = marking.max_frame_num();
    const auto current = static_cast<int32_t>(header.frame_num);
    int32_t predicted = current;
    std::size_t index = 0;
    for (const ListModification& modification : header.modifications[static_cast<std::size_t>(list_number)]) {
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

namespace {

// The slice's lists as initialised (8.2.4.2): a B slice's list 1 with its first two entries
// swapped where it would otherwise be list 0 over again.
std::array<std::vector<int>, 2> initial_lists(const ReferenceMarker& marking, const SliceSyntaxHeader& slice,
                                              int32_t order_count) {
    if (slice.kind != kSliceB) {
        return {initial_p_list(marking.held(), marking, slice.frame_num), {}};
    }
    std::array<std::vector<int>, 2> lists{initial_b_list(marking.held(), order_count, 0),
                                          initial_b_list(marking.held(), order_count, 1)};
    if (lists[1].size() > 1 && lists[1] == lists[0]) {
        std::swap(lists[1][0], lists[1][1]);
    }
    return lists;
}

}  // namespace

std::vector<SliceLists> reference_lists(const FrameSyntax& syntax) {
    for (const SliceSyntaxHeader& slice : syntax.slices) {
        if (slice.field) {
            throw PredictionNotBuilt("Field pictures' inter prediction is not built yet");
        }
    }
    ReferenceMarker marking(syntax.sequence.frame_num_bits, syntax.sequence.reference_frames);
    for (const EarlierPicture& picture : syntax.earlier) {
        marking.mark(picture);
    }
    std::vector<SliceLists> lists;
    for (const SliceSyntaxHeader& slice : syntax.slices) {
        std::array<std::vector<int>, 2> initial = initial_lists(marking, slice, syntax.order_count);
        SliceLists& references = lists.emplace_back();
        const int used = slice.kind == kSliceB ? 2 : slice.kind == kSliceI ? 0 : 1;
        for (int number = 0; number < used; ++number) {
            std::vector<int>& list = initial[static_cast<std::size_t>(number)];
            const auto active = static_cast<std::size_t>(slice.references[static_cast<std::size_t>(number)]);
            modify_list(marking.held(), marking, slice, number, list);
            list.resize(active, -1);
            references[static_cast<std::size_t>(number)].resize(active);
            for (std::size_t i = 0; i < active; ++i) {
                if (list[i] >= 0) {
                    references[static_cast<std::size_t>(number)][i] = marking.held()[static_cast<std::size_t>(list[i])];
                }
            }
        }
    }
    return lists;
}

void name_references(const FrameSyntax& syntax, const std::vector<SliceLists>& lists,
                     std::vector<MotionRecord>& field) {
    const std::size_t blocks_per_row = 4 * static_cast<std::size_t>(syntax.coded_cols);
    for (std::size_t i = 0; i < field.size(); ++i) {
        MotionRecord& block = field[i];
        const std::size_t mb = (i / blocks_per_row / 4) * syntax.coded_cols + (i % blocks_per_row) / 4;
        const int slice = syntax.coded_records[mb].slice;
        if (slice < 0 || static_cast<std::size_t>(slice) >= lists.size()) {
            continue;
        }
        for (std::size_t number = 0; number < 2; ++number) {
            const std::vector<HeldReference>& list = lists[static_cast<std::size_t>(slice)][number];
            const auto index = static_cast<std::size_t>(block.ref_idx[number]);
            if (block.ref_idx[number] >= 0) {
                block.ref_poc[number] = index < list.size() ? list[index].order_count : -1;
            }
        }
    }
}
