#pragma once

#include <vector>

#include "reconstruct/inter_prediction.hpp"
#include "reconstruct/macroblock_rows.hpp"
#include "reconstruct/motion_field.hpp"
#include "reconstruct/rebuilt_picture.hpp"
#include "reconstruct/reference_frames.hpp"
#include "reconstruct/reference_lists.hpp"

// Predicts an inter macroblock 4x4 luma block by 4x4 luma block (and the chroma under each)
// from the references its list 0 and list 1 indices name in its slice, displaced by the
// block's vectors in the motion field; one list's samples weighted where the slice codes
// explicit weights, two lists' averaged or weighted explicitly or implicitly (8.4.2.3); and
// adds its residual (already in the picture). Every sample of a partition is predicted by the
// same rule, so a partition predicted in 4x4 pieces is the partition predicted whole. A field
// macroblock of an MBAFF frame is predicted as a block of its own field, from the fields its
// indices name, onto its rows of the pair.
class InterMacroblock {
public:
    // `pictures` holds each slice's lists of pictures (field macroblocks' too), `references`
    // the same lists' frames.
    InterMacroblock(const FrameSyntax& syntax, RebuiltPicture& picture, const std::vector<MotionRecord>& field,
                    const DecodedReferences& pictures, const std::vector<SliceLists>& references);

    // std::runtime_error where a block's index names no reference picture.
    void rebuild(int mb_x, int mb_y, const MbSyntaxRecord& mb);

private:
    void block(int mb_x, const MacroblockRows& rows, int bx, int by, const MbSyntaxRecord& mb);
    // `parity`: of a field macroblock of an MBAFF frame, whose indices name fields, the
    // parity of its field (0 top, 1 bottom); -1 for a frame macroblock.
    PairWeights weights_of(const MbSyntaxRecord& mb, const MotionRecord& motion, int plane, int parity) const;
    PairWeights implicit_weights(const MbSyntaxRecord& mb, const MotionRecord& motion, int parity) const;
    // Predicts plane `plane` of the block at luma sample (x, y) from each list in use into
    // prediction_, the block's width and height in that plane into `size`.
    void predict(int plane, int x, int y, const ReferencePicture* const* pictures, const int16_t (*mv)[2], int* size);
    // The block's rows lie `row_step` lines apart from line y0.
    void store(int plane, int x0, int y0, int row_step, int width, int height, const MotionRecord& motion,
               const PairWeights& weights);

    const FrameSyntax& syntax_;
    RebuiltPicture& picture_;
    const std::vector<MotionRecord>& field_;
    const DecodedReferences& pictures_;
    const std::vector<SliceLists>& references_;
    const bool mbaff_;
    const int chroma_array_type_;
    int32_t prediction_[2][16];
};
