#include "reconstruct/reference_lists.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>

#include "h264/nal_units.hpp"
#include "reconstruct/field_pictures.hpp"
#include "reconstruct/macroblock_rows.hpp"
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

// How a slice numbers the pictures it may name (8.2.4.1): frames by PicNum and
// LongTermPicNum; fields by twice their frame's, plus one for a field of the current field's
// parity (`parity` 0 top, 1 bottom, -1 for a frame).
struct Numbering {
    const ReferenceMarker& marking;
    uint32_t frame_num;
    int parity;

    int32_t same_parity(const HeldReference& reference) const { return reference.parity == parity ? 1 : 0; }
    int32_t pic_num(const HeldReference& reference) const {
        const int32_t frame = marking.pic_num(reference, frame_num);
        return parity < 0 ? frame : 2 * frame + same_parity(reference);
    }
    int32_t long_term_pic_num(const HeldReference& reference) const {
        const auto frame = static_cast<int32_t>(reference.long_term_index);
        return parity < 0 ? frame : 2 * frame + same_parity(reference);
    }
    int32_t max_pic_num() const { return marking.max_frame_num() * (parity < 0 ? 1 : 2); }
    int32_t current_pic_num() const {
        const auto frame = static_cast<int32_t>(frame_num);
        return parity < 0 ? frame : 2 * frame + 1;
    }
};

// 8.2.4.2.5: the fields of the frames of `frames` (positions in `held`, in order), taking
// in turn the next field of the current field's parity and the next of the other parity,
// each from the first frame on that still has one; the rest of one parity once the other
// runs out.
void alternate_fields(const std::vector<HeldReference>& held, const std::vector<int>& frames, int parity,
                      std::vector<HeldReference>& fields) {
    std::size_t next[2] = {0, 0};
    const auto take = [&](int field_parity) {
        std::size_t& at = next[field_parity == parity ? 0 : 1];
        for (; at < frames.size(); ++at) {
            const HeldReference& frame = held[static_cast<std::size_t>(frames[at])];
            if (frame.fields & (1 << field_parity)) {
                fields.push_back(frame);
                fields.back().parity = static_cast<int8_t>(field_parity);
                ++at;
                return true;
            }
        }
        return false;
    };
    bool same = true;
    bool taken = true;
    while (taken) {
        taken = take(same ? parity : 1 - parity) || take(same ? 1 - parity : parity);
        same = !same;
    }
}

// The pictures a P slice may name, as its list 0 is initialised: frames (8.2.4.2.1), or the
// fields of the short-term frames by descending FrameNumWrap and then of the long-term ones
// by ascending LongTermFrameIdx (8.2.4.2.2, 8.2.4.2.5).
std::vector<HeldReference> p_candidates(const ReferenceMarker& marking, const Numbering& numbering) {
    const std::vector<HeldReference>& held = marking.held();
    const std::vector<int> frames = initial_p_list(held, marking, numbering.frame_num);
    std::vector<HeldReference> candidates;
    if (numbering.parity < 0) {
        for (int position : frames) {
            candidates.push_back(held[static_cast<std::size_t>(position)]);
        }
        return candidates;
    }
    const auto is_long_term = [&](int position) { return held[static_cast<std::size_t>(position)].long_term; };
    const auto long_term = std::find_if(frames.begin(), frames.end(), is_long_term);
    alternate_fields(held, std::vector<int>(frames.begin(), long_term), numbering.parity, candidates);
    alternate_fields(held, std::vector<int>(long_term, frames.end()), numbering.parity, candidates);
    return candidates;
}

int find_reference(const std::vector<HeldReference>& candidates, const Numbering& numbering, bool long_term,
                   int32_t number) {
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        const HeldReference& candidate = candidates[i];
        const bool named = long_term ? candidate.long_term && numbering.long_term_pic_num(candidate) == number
                                     : !candidate.long_term && numbering.pic_num(candidate) == number;
        if (named) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// 8.2.4.3: each operation puts the picture it names at the next index and removes it from
// further down the list.
void modify_list(const std::vector<HeldReference>& candidates, const Numbering& numbering,
                 const SliceSyntaxHeader& header, int list_number, std::vector<int>& list) {
    const auto active = static_cast<std::size_t>(header.references[static_cast<std::size_t>(list_number)]);
    const int32_t max_pic_num = numbering.max_pic_num();
    const int32_t current = numbering.current_pic_num();
    int32_t predicted = current;
    std::size_t index = 0;
    for (const ListModification& modification : header.modifications[static_cast<std::size_t>(list_number)]) {
        int found = -1;
        if (modification.idc == 2) {
            found = find_reference(candidates, numbering, true, static_cast<int32_t>(modification.value));
        } else {
            const auto difference = static_cast<int32_t>(modification.value) + 1;
            predicted += modification.idc == 0 ? -difference : difference;
            predicted += predicted < 0 ? max_pic_num : predicted >= max_pic_num ? -max_pic_num : 0;
            const int32_t number = predicted > current ? predicted - max_pic_num : predicted;
            found = find_reference(candidates, numbering, false, number);
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

bool same_picture(const HeldReference& a, const HeldReference& b) {
    return a.frame == b.frame && a.order_count == b.order_count && a.parity == b.parity;
}

// 8.2.4.2.4: the fields of a B field picture's list `list_number`, from the frames as
// 8.2.4.2.3 orders them for the current field's order count (a frame's the lower of its
// fields', FFmpeg's too for the frame being decoded), a frame of the same count among those
// before it; alternated by parity (8.2.4.2.5); then the long-term frames'.
std::vector<HeldReference> b_field_candidates(const std::vector<HeldReference>& held, int32_t order_count,
                                              int list_number, int parity) {
    const std::vector<int> frames = initial_b_list(held, order_count + 1, list_number);
    std::vector<HeldReference> candidates;
    const auto is_long_term = [&](int position) { return held[static_cast<std::size_t>(position)].long_term; };
    const auto long_term = std::find_if(frames.begin(), frames.end(), is_long_term);
    alternate_fields(held, std::vector<int>(frames.begin(), long_term), parity, candidates);
    alternate_fields(held, std::vector<int>(long_term, frames.end()), parity, candidates);
    return candidates;
}

// The candidates of each list a slice uses and its lists as initialised (8.2.4.2), positions
// among them: a B slice's list 1 with its first two entries swapped where it would otherwise
// be list 0 over again.
using Candidates = std::array<std::vector<HeldReference>, 2>;
std::array<std::vector<int>, 2> initial_lists(const std::vector<HeldReference>& held, const ReferenceMarker& marking,
                                              const SliceSyntaxHeader& slice, const Numbering& numbering,
                                              int32_t order_count, Candidates& candidates) {
    if (slice.kind != kSliceB) {
        candidates[0] = p_candidates(marking, numbering);
        return {positions(candidates[0]), {}};
    }
    std::array<std::vector<int>, 2> lists;
    if (slice.field) {
        for (int number = 0; number < 2; ++number) {
            candidates[static_cast<std::size_t>(number)] =
                b_field_candidates(held, order_count, number, numbering.parity);
            lists[static_cast<std::size_t>(number)] = positions(candidates[static_cast<std::size_t>(number)]);
        }
        const bool alike = std::equal(candidates[0].begin(), candidates[0].end(), candidates[1].begin(),
                                      candidates[1].end(), same_picture);
        if (candidates[1].size() > 1 && alike) {
            std::swap(lists[1][0], lists[1][1]);
        }
        return lists;
    }
    candidates = {held, held};
    lists = {initial_b_list(held, order_count, 0), initial_b_list(held, order_count, 1)};
    if (lists[1].size() > 1 && lists[1] == lists[0]) {
        std::swap(lists[1][0], lists[1][1]);
    }
    return lists;
}

// The frames a slice may name: those marked, the frame being decoded with the order count
// FFmpeg gives it while its second field is decoded, the lower of its two fields'.
std::vector<HeldReference> held_for(const ReferenceMarker& marking, int32_t first_field_order_count,
                                    int32_t order_count, int parity) {
    std::vector<HeldReference> held = marking.held();
    for (HeldReference& frame : held) {
        if (frame.current) {
            const int32_t top = parity == 0 ? order_count : first_field_order_count;
            const int32_t bottom = parity == 0 ? first_field_order_count : order_count;
            frame.order_count = std::min(top, bottom);
            frame.bottom_order_offset = bottom - top;
        }
    }
    return held;
}

SliceLists slice_lists(const ReferenceMarker& marking, const SliceSyntaxHeader& slice, int32_t first_field_order_count,
                       int32_t order_count) {
    const Numbering numbering{marking, slice.frame_num, slice.field ? (slice.bottom_field ? 1 : 0) : -1};
    const std::vector<HeldReference> held = held_for(marking, first_field_order_count, order_count, numbering.parity);
    Candidates candidates;
    std::array<std::vector<int>, 2> initial = initial_lists(held, marking, slice, numbering, order_count, candidates);
    SliceLists references;
    const int used = slice.kind == kSliceB ? 2 : slice.kind == kSliceI ? 0 : 1;
    for (std::size_t number = 0; number < static_cast<std::size_t>(used); ++number) {
        std::vector<int>& list = initial[number];
        const auto active = static_cast<std::size_t>(slice.references[number]);
        modify_list(candidates[number], numbering, slice, static_cast<int>(number), list);
        list.resize(active, -1);
        references[number].resize(active);
        for (std::size_t i = 0; i < active; ++i) {
            if (list[i] >= 0) {
                references[number][i] = candidates[number][static_cast<std::size_t>(list[i])];
            }
        }
    }
    return references;
}

}  // namespace

std::vector<SliceLists> reference_lists(const FrameSyntax& syntax, int32_t current_frame) {
    ReferenceMarker marking(syntax.sequence.frame_num_bits, syntax.sequence.reference_frames);
    for (const EarlierPicture& picture : syntax.earlier) {
        marking.mark(picture);
    }
    if (!syntax.slices.empty()) {
        marking.fill_frame_num_gap(syntax.slices.front());
    }
    // The second field of a frame may name the first, which is marked once it is decoded.
    ReferenceMarker with_first_field = marking;
    const SliceSyntaxHeader* first_field = syntax.slices.empty() || !syntax.slices.front().field
                                               ? nullptr
                                               : &syntax.slices.front();
    if (first_field != nullptr) {
        with_first_field.mark(EarlierPicture{current_frame, syntax.order_count, *first_field, std::nullopt}, true);
    }
    std::vector<SliceLists> lists;
    for (const SliceSyntaxHeader& slice : syntax.slices) {
        const bool second_field = first_field != nullptr && slice.bottom_field != first_field->bottom_field;
        lists.push_back(slice_lists(second_field ? with_first_field : marking, slice, syntax.order_count,
                                    slice_order_count(syntax, slice)));
    }
    return lists;
}
