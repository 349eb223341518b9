#include "reconstruct/direct_motion.hpp"

#include <cstdlib>
#include <cstring>

#include "reconstruct/inter_prediction.hpp"

namespace {

// The macroblock row and the row of 4x4 blocks in it that hold the co-located block of block
// row `row` of the macroblock at (mb_x, mb_y).
struct ColocatedRow {
    int mb_y;
    int row;
};

ColocatedRow colocated_row(const ColocatedPicture& colocated, int mb_x, int mb_y, bool field_macroblock, int row) {
    if (colocated.field_macroblocks.empty()) {
        return {mb_y, row};
    }
    const int top = mb_y - mb_y % 2;
    const auto cell = static_cast<std::size_t>(top) * static_cast<std::size_t>(colocated.columns / 4) +
                      static_cast<std::size_t>(mb_x);
    if ((colocated.field_macroblocks[cell] != 0) == field_macroblock) {
        return {mb_y, row};
    }
    if (field_macroblock) {
        return {top + row / 2, (2 * row) % 4};
    }
    return {top + colocated.nearer_parity, 2 * (mb_y % 2) + row / 2};
}

}  // namespace

ColocatedMotion colocated_motion(const ColocatedPicture& colocated, int mb_x, int mb_y, bool field_macroblock, int x,
                                 int y, bool inference) {
    const int column = inference ? (x / 2) * 3 : x;
    const ColocatedRow at = colocated_row(colocated, mb_x, mb_y, field_macroblock, inference ? (y / 2) * 3 : y);
    const MotionRecord& block =
        colocated.field[static_cast<std::size_t>(4 * at.mb_y + at.row) * static_cast<std::size_t>(colocated.columns) +
                        static_cast<std::size_t>(4 * mb_x + column)];
    ColocatedMotion motion;
    const int list = block.ref_idx[0] >= 0 ? 0 : 1;
    if (block.ref_idx[list] < 0) {
        return motion;
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

void temporal_direct(const ColocatedMotion& motion, const SliceLists& lists, int32_t order_count,
                     MotionRecord& block) {
    int ref_idx = 0;
    for (std::size_t i = 0; motion.ref_idx >= 0 && i < lists[0].size(); ++i) {
        if (lists[0][i].frame >= 0 && lists[0][i].order_count == motion.ref_poc) {
            ref_idx = static_cast<int>(i);
            break;
        }
    }
    const HeldReference& first = lists[0][static_cast<std::size_t>(ref_idx)];
    const HeldReference& second = lists[1][0];
    int mv0[2] = {motion.mv[0], motion.mv[1]};
    int mv1[2] = {0, 0};
    if (!first.long_term && second.order_count != first.order_count) {
        const int scale = dist_scale_factor(order_count, first.order_count, second.order_count);
        for (int component = 0; component < 2; ++component) {
            mv0[component] = (scale * motion.mv[component] + 128) >> 8;
            mv1[component] = mv0[component] - motion.mv[component];
        }
    }
    block.ref_idx[0] = static_cast<int8_t>(ref_idx);
    block.ref_idx[1] = 0;
    const int16_t stored[2][2] = {{static_cast<int16_t>(mv0[0]), static_cast<int16_t>(mv0[1])},
                                  {static_cast<int16_t>(mv1[0]), static_cast<int16_t>(mv1[1])}};
    std::memcpy(block.mv, stored, sizeof stored);
}
