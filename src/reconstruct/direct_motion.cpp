#include "reconstruct/direct_motion.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "reconstruct/field_pictures.hpp"
#include "reconstruct/inter_prediction.hpp"
#include "reconstruct/macroblock_rows.hpp"
#include "reconstruct/motion_field_memo.hpp"
#include "reconstruct/rebuilt_picture.hpp"
#include "syntax/slice_syntax_header.hpp"

namespace {

// The macroblock row and the row of 4x4 blocks in it that hold the co-located block of block
// row `row` of the macroblock at (mb_x, mb_y).
struct ColocatedRow {
    int mb_y;
    int row;
};

bool holds_field_macroblock(const ColocatedPicture& colocated, int mb_x, int mb_y) {
    const auto columns = static_cast<std::size_t>(colocated.columns / 4);
    const std::size_t cell = static_cast<std::size_t>(mb_y) * columns + static_cast<std::size_t>(mb_x);
    const std::vector<uint8_t>& field_macroblocks = colocated.motion->field_macroblocks;
    return !field_macroblocks.empty() && field_macroblocks[cell] != 0;
}

ColocatedRow colocated_row(const ColocatedPicture& colocated, int mb_x, int mb_y, bool field_macroblock, int row) {
    const int top = mb_y - mb_y % 2;
    if (holds_field_macroblock(colocated, mb_x, top) == field_macroblock) {
        return {mb_y, row};
    }
    if (field_macroblock) {
        return {top + row / 2, (2 * row) % 4};
    }
    return {top + colocated.nearer_parity, 2 * (mb_y % 2) + row / 2};
}

// The lowest index of `list` that names the frame (of a field picture's list, the field) the
// co-located block refers to; 0 for an intra block.
int lowest_index_of_frame(const ColocatedMotion& motion, const std::vector<HeldReference>& list) {
    for (std::size_t i = 0; motion.ref_idx >= 0 && i < list.size(); ++i) {
        if (list[i].frame >= 0 && list[i].order_count == motion.ref_poc && list[i].parity == motion.ref_parity) {
            return static_cast<int>(i);
        }
    }
    return 0;
}

// The motion of the co-located frame `first`, its own field built as this one is.
void read_colocated_motion(const FrameSyntax& syntax, const HeldReference& first, const SyntaxSource& source,
                           MotionFieldMemo* memo, ColocatedPicture& colocated) {
    FrameSyntax other;
    source(first.frame, other);
    // Fewer pictures before it than before this one: where frames share timestamps the frame
    // may name another packet's picture, and the reads would not end.
    if (other.coded_cols != syntax.coded_cols || other.coded_records.size() != syntax.coded_records.size() ||
        other.earlier.size() >= syntax.earlier.size()) {
        throw std::runtime_error("The co-located picture of direct prediction is not one decoded before the frame");
    }
    std::vector<MotionRecord> field = memo != nullptr ? memo->reusable_storage() : std::vector<MotionRecord>{};
    field.resize(motion_field_blocks(other));
    build_motion_field(other, source, field.data(), memo);
    colocated.motion = memo != nullptr ? memo->keep(first.frame, other, std::move(field))
                                       : std::make_shared<const PictureMotion>(std::move(field), field_macroblocks(other));
}

// For temporal direct prediction: the parity of the field each block of the co-located
// field `field` refers to, from that field's own lists.
std::vector<int8_t> referred_parities(const FrameSyntax& field, const PictureMotion& motion) {
    const std::vector<SliceLists> lists = reference_lists(field);
    const auto cols = static_cast<std::size_t>(field.coded_cols);
    std::vector<int8_t> parities(motion.size(), -1);
    for (std::size_t block = 0; block < motion.size(); ++block) {
        const std::size_t mb = (block / (16 * cols)) * cols + (block % (4 * cols)) / 4;
        const MbSyntaxRecord& record = field.coded_records[mb];
        const int list = motion[block].ref_idx[0] >= 0 ? 0 : 1;
        const int ref_idx = motion[block].ref_idx[list];
        if (ref_idx < 0 || record.slice < 0 || static_cast<std::size_t>(record.slice) >= lists.size()) {
            continue;
        }
        const std::vector<HeldReference>& named =
            lists[static_cast<std::size_t>(record.slice)][static_cast<std::size_t>(list)];
        if (static_cast<std::size_t>(ref_idx) < named.size()) {
            parities[block] = named[static_cast<std::size_t>(ref_idx)].parity;
        }
    }
    return parities;
}

// The co-located field of a B field picture (8.4.1.2.1, a field of a frame of two field
// pictures), with the motion of its own macroblocks: the first field of the frame being
// decoded, whose motion is `first_field`, or a field of a frame decoded before, with the
// parities temporal direct prediction asks for. A co-located frame coded as a frame, and
// temporal direct prediction from the first field of the frame being decoded, are not built.
void read_colocated_field(const FrameSyntax& syntax, const HeldReference& first, const SyntaxSource& source,
                          MotionFieldMemo* memo, const std::vector<MotionRecord>* first_field,
                          ColocatedPicture& colocated) {
    const bool temporal = std::any_of(syntax.slices.begin(), syntax.slices.end(), [](const SliceSyntaxHeader& slice) {
        return slice.kind == kSliceB && !slice.direct_spatial;
    });
    if (first.current) {
        if (temporal) {
            throw PredictionNotBuilt("Temporal direct prediction from the first field of the frame being decoded "
                                     "is not built");
        }
        if (first_field == nullptr) {
            throw std::runtime_error("The co-located field of direct prediction has no motion field here");
        }
        // The first field's motion outlives the second's building.
        colocated.motion =
            std::make_shared<const PictureMotion>(first_field->data(), first_field->size(), std::vector<uint8_t>{});
        return;
    }
    FrameSyntax other;
    source(first.frame, other);
    if (other.coded_cols != syntax.coded_cols || other.coded_records.size() != 2 * syntax.coded_records.size() ||
        other.earlier.size() >= syntax.earlier.size()) {
        throw std::runtime_error("The co-located picture of direct prediction is not one decoded before the frame");
    }
    if (!holds_fields(other)) {
        throw PredictionNotBuilt("Direct prediction in a field picture from a frame coded as a frame is not built");
    }
    std::shared_ptr<const PictureMotion> frame = memo != nullptr ? memo->find(first.frame) : nullptr;
    if (!frame || frame->size() != other.coded_records.size() * 16) {
        std::vector<MotionRecord> built(motion_field_blocks(other));
        build_motion_field(other, source, built.data(), memo);
        frame = memo != nullptr ? memo->keep(first.frame, other, std::move(built))
                                : std::make_shared<const PictureMotion>(std::move(built), std::vector<uint8_t>{});
    }
    colocated.motion = std::make_shared<const PictureMotion>(field_motion(*frame, first.parity, syntax.coded_cols),
                                                             std::vector<uint8_t>{});
    if (temporal) {
        colocated.ref_parity = referred_parities(field_syntax(other, first.parity), *colocated.motion);
    }
}

}  // namespace

ColocatedPicture colocated_picture(const FrameSyntax& syntax, const std::vector<SliceLists>& lists,
                                   const SyntaxSource& source, MotionFieldMemo* memo,
                                   const std::vector<MotionRecord>* first_field) {
    const HeldReference* first = nullptr;
    for (std::size_t slice = 0; slice < lists.size(); ++slice) {
        if (syntax.slices[slice].kind != kSliceB || lists[slice][1].empty()) {
            continue;
        }
        const HeldReference& named = lists[slice][1][0];
        if ((named.frame < 0 && !named.current) ||
            (first != nullptr && (first->frame != named.frame || first->parity != named.parity))) {
            throw std::runtime_error("The co-located picture of direct prediction is not a frame the file shows once");
        }
        first = &named;
    }
    if (first == nullptr) {
        throw std::runtime_error("Direct prediction without a list 1 picture");
    }
    ColocatedPicture colocated;
    colocated.order_count = first->order_count;
    colocated.long_term = first->long_term;
    colocated.columns = 4 * syntax.coded_cols;
    if (first->parity >= 0) {
        read_colocated_field(syntax, *first, source, memo, first_field, colocated);
        return colocated;
    }
    const int32_t top = field_order_count(first->order_count, first->bottom_order_offset, 0);
    const int32_t bottom = field_order_count(first->order_count, first->bottom_order_offset, 1);
    colocated.nearer_parity = std::abs(top - syntax.order_count) < std::abs(bottom - syntax.order_count) ? 0 : 1;
    colocated.motion = memo != nullptr ? memo->find(first->frame) : nullptr;
    if (!colocated.motion || colocated.motion->size() != syntax.coded_records.size() * 16) {
        read_colocated_motion(syntax, *first, source, memo, colocated);
    }
    if (is_mbaff_frame(syntax) && colocated.motion->field_macroblocks.empty()) {
        throw PredictionNotBuilt("Direct prediction in an MBAFF frame from a picture not coded as an MBAFF frame "
                                 "is not built");
    }
    return colocated;
}


ColocatedMotion colocated_motion(const ColocatedPicture& colocated, int mb_x, int mb_y, bool field_macroblock, int x,
                                 int y, bool inference) {
    const int column = inference ? (x / 2) * 3 : x;
    const ColocatedRow at = colocated_row(colocated, mb_x, mb_y, field_macroblock, inference ? (y / 2) * 3 : y);
    const std::size_t position =
        static_cast<std::size_t>(4 * at.mb_y + at.row) * static_cast<std::size_t>(colocated.columns) +
        static_cast<std::size_t>(4 * mb_x + column);
    const MotionRecord& block = (*colocated.motion)[position];
    ColocatedMotion motion;
    motion.field = holds_field_macroblock(colocated, mb_x, at.mb_y);
    const int list = block.ref_idx[0] >= 0 ? 0 : 1;
    if (block.ref_idx[list] < 0) {
        return motion;
    }
    if (!colocated.ref_parity.empty()) {
        motion.ref_parity = colocated.ref_parity[position];
    }
    motion.ref_idx = block.ref_idx[list];
    motion.ref_poc = block.ref_poc[list];
    // The record is packed: its int16 fields may lie at odd addresses.
    int16_t mv[2];
    std::memcpy(mv, block.mv[list], sizeof mv);
    motion.mv[0] = mv[0];
    motion.mv[1] = mv[1];
    return motion;
}

bool colocated_is_still(const ColocatedPicture& colocated, const ColocatedMotion& motion) {
    return !colocated.long_term && motion.ref_idx == 0 && std::abs(motion.mv[0]) <= 1 && std::abs(motion.mv[1]) <= 1;
}

void temporal_direct(const ColocatedMotion& motion, const SliceLists& lists, int32_t order_count, int parity,
                     MotionRecord& block) {
    const int frame_index = lowest_index_of_frame(motion, lists[0]);
    const bool field = parity >= 0;
    const int ref_idx = field ? 2 * frame_index + (motion.field && motion.ref_idx > 0 ? motion.ref_idx & 1 : 0)
                              : frame_index;
    // Frm_To_Fld and Fld_To_Frm (Table 8-8).
    const int vertical = motion.field == field ? motion.mv[1] : field ? motion.mv[1] / 2 : motion.mv[1] * 2;
    const int col[2] = {motion.mv[0], vertical};
    const HeldReference& first = lists[0][static_cast<std::size_t>(frame_index)];
    const HeldReference& second = lists[1][0];
    int32_t order0 = first.order_count;
    int32_t order1 = second.order_count;
    if (first.parity >= 0) {
        order0 = field_order_count(order0, first.bottom_order_offset, first.parity);
        order1 = field_order_count(order1, second.bottom_order_offset, second.parity);
    } else if (field) {
        order0 = field_order_count(order0, first.bottom_order_offset, parity ^ (ref_idx & 1));
        order1 = field_order_count(order1, second.bottom_order_offset, parity);
    }
    int mv0[2] = {col[0], col[1]};
    int mv1[2] = {0, 0};
    if (!first.long_term && order1 != order0) {
        const int scale = dist_scale_factor(order_count, order0, order1);
        for (int component = 0; component < 2; ++component) {
            mv0[component] = (scale * col[component] + 128) >> 8;
            mv1[component] = mv0[component] - col[component];
        }
    }
    block.ref_idx[0] = static_cast<int8_t>(ref_idx);
    block.ref_idx[1] = 0;
    const int16_t stored[2][2] = {{static_cast<int16_t>(mv0[0]), static_cast<int16_t>(mv0[1])},
                                  {static_cast<int16_t>(mv1[0]), static_cast<int16_t>(mv1[1])}};
    std::memcpy(block.mv, stored, sizeof stored);
}
