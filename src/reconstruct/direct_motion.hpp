#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "reconstruct/motion_field.hpp"
#include "reconstruct/reference_lists.hpp"

// The co-located picture of a B slice's direct prediction (8.4.1.2.1): the frame its list 1
// names first, with its motion field (references named) and what the direct modes ask of it.
struct ColocatedPicture {
    // Of a co-located field, that field's motion alone.
    std::shared_ptr<const PictureMotion> motion;
    // Of its motion field, in 4x4 blocks.
    int32_t columns = 0;
    int32_t order_count = 0;
    bool long_term = false;
    // Of its fields the one nearer the current frame in picture order (0 top, 1 bottom),
    // whose macroblock of a field pair a frame macroblock takes (Table 8-8).
    int nearer_parity = 0;
    // Of a co-located field, for temporal direct prediction: the parity of the field each
    // block's motion refers to (of the list colocated_motion takes), -1 where none; empty
    // elsewhere.
    std::vector<int8_t> ref_parity;
};

// The frame list 1 names first in the B slices of the frame `syntax`, whose slices' lists are
// `lists`, with its motion field: from `memo` where it holds it, else built from its syntax,
// which `source` reads, as this frame's is (and kept in `memo`). Of a B field picture the
// field list 1 names first, with the motion of that field alone: `first_field` where it is
// the first field of the frame being decoded. PredictionNotBuilt for an MBAFF frame whose
// co-located picture is not an MBAFF frame (a pair of field pictures), for a field picture
// whose co-located field is of a frame coded as a frame, and for temporal direct prediction
// from the first field of the frame being decoded.
class MotionFieldMemo;
ColocatedPicture colocated_picture(const FrameSyntax& syntax, const std::vector<SliceLists>& lists,
                                   const SyntaxSource& source, MotionFieldMemo* memo,
                                   const std::vector<MotionRecord>* first_field = nullptr);

// The motion of the co-located 4x4 block (mvCol, refIdxCol and the picture that index names):
// list 0's where the block uses it, else list 1's; ref_idx -1 and no motion in intra blocks.
struct ColocatedMotion {
    int ref_idx = -1;
    int32_t ref_poc = -1;
    int mv[2] = {0, 0};
    // Of a field macroblock of an MBAFF frame: its index names a field, its vector is in
    // field units.
    bool field = false;
    // Of a block of a co-located field: the parity of the field it refers to.
    int ref_parity = -1;
};

// Of luma 4x4 block (x, y) of the macroblock at (mb_x, mb_y), a field macroblock of an MBAFF
// frame where `field_macroblock`: with direct_8x8_inference the corner block of its 8x8 block
// (8.4.1.2.1), in the co-located macroblock of its kind (Table 8-8): over a pair of the other
// kind a frame macroblock takes the nearer field's macroblock, its upper or lower half as it
// is the pair's top or bottom one; a field macroblock the frame pair's top macroblock for its
// upper half and the bottom one for its lower half, every other row of 4x4 blocks.
ColocatedMotion colocated_motion(const ColocatedPicture& colocated, int mb_x, int mb_y, bool field_macroblock, int x,
                                 int y, bool inference);

// colZeroFlag (8.4.1.2.2): a short-term co-located picture whose block barely moves from the
// picture its index 0 names.
bool colocated_is_still(const ColocatedPicture& colocated, const ColocatedMotion& motion);

// Temporal direct prediction of one 4x4 block (8.4.1.2.3): list 0 the lowest index of the picture
// the co-located block refers to, list 1 index 0, the co-located vector scaled by the distances
// in picture order from the current picture, whose order count is `order_count`. In a field
// picture, whose lists name fields, the picture referred to is the field the co-located field's
// block refers to, and distances are between fields. In an MBAFF frame a field macroblock
// (`parity` 0 top, 1 bottom; -1 for a frame macroblock) names fields and measures between fields:
// the field a co-located field block refers to, else the field of its own parity of the frame a
// frame block refers to, that block's vertical component halved; a frame macroblock over a field
// block names the frame of the field that block refers to and doubles its vertical component.
void temporal_direct(const ColocatedMotion& motion, const SliceLists& lists, int32_t order_count, int parity,
                     MotionRecord& block);
