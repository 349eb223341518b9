#pragma once

#include "reconstruct/intra_prediction.hpp"
#include "reconstruct/rebuilt_picture.hpp"

// Predicts an intra macroblock block by block from the samples of the picture rebuilt so far
// and adds its residual (already in the picture), so that the next block and macroblock
// read these samples (8.3). Neighbours outside the picture or the slice, and inter
// neighbours under constrained_intra_pred, are not available.
class IntraMacroblock {
public:
    IntraMacroblock(const FrameSyntax& syntax, RebuiltPicture& picture);

    void rebuild(int mb_x, int mb_y, const MbSyntaxRecord& mb);

private:
    struct Around {
        bool left = false;
        bool above = false;
        bool above_left = false;
        bool above_right = false;
    };

    bool usable(int mb_x, int mb_y, const MbSyntaxRecord& mb) const;
    void pcm_samples();
    void luma_like(int plane, const MbSyntaxRecord& mb);
    void blocks_nxn(int plane, int n, const MbSyntaxRecord& mb);
    void chroma(int plane, int mode);
    bool top_right_available(int bx, int by, int n) const;
    void gather(int plane, int bx, int by, int width, int height, int top_count, bool top_right,
                IntraNeighbours& p) const;
    void add(int plane, int bx, int by, int width, int height, const int32_t* prediction);

    const FrameSyntax& syntax_;
    RebuiltPicture& picture_;
    const int chroma_array_type_;
    Around around_;
    // The macroblock's top left sample in luma-sized and chroma planes.
    int luma_x_ = 0;
    int luma_y_ = 0;
    int chroma_x_ = 0;
    int chroma_y_ = 0;
    int32_t prediction_[256];
};
