#pragma once

#include <vector>

#include "reconstruct/inter_prediction.hpp"
#include "reconstruct/motion_field.hpp"
#include "reconstruct/rebuilt_picture.hpp"

// Predicts a P macroblock 4x4 luma block by 4x4 luma block (and the chroma under each) from
// the reference its list 0 index names in its slice, displaced by the block's vector in the
// motion field, weighted where the picture asks for explicit weights (8.4.2), and adds its
// residual (already in the picture). Every sample of a partition is predicted by the same
// rule, so a partition predicted in 4x4 pieces is the partition predicted whole.
class InterMacroblock {
public:
    // `lists` holds each slice's list 0, null where the list names no picture.
    InterMacroblock(const FrameSyntax& syntax, RebuiltPicture& picture, const std::vector<MotionRecord>& field,
                    const std::vector<std::vector<const ReferencePicture*>>& lists);

    // std::runtime_error where a block's index names no reference picture.
    void rebuild(int mb_x, int mb_y, const MbSyntaxRecord& mb);

private:
    void block(int mb_x, int mb_y, int bx, int by, const MbSyntaxRecord& mb);
    void store(int plane, int x0, int y0, int width, int height, const PredictionWeight* weight, int log2_denominator);

    const FrameSyntax& syntax_;
    RebuiltPicture& picture_;
    const std::vector<MotionRecord>& field_;
    const std::vector<std::vector<const ReferencePicture*>>& lists_;
    const int chroma_array_type_;
    int32_t prediction_[16];
};
