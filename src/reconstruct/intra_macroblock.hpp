#pragma once

#include "reconstruct/intra_prediction.hpp"
#include "reconstruct/macroblock_rows.hpp"
#include "reconstruct/rebuilt_picture.hpp"

// Predicts an intra macroblock block by block from the samples of the picture rebuilt so far
// and adds its residual (already in the picture), so that the next block and macroblock
// read these samples (8.3). Neighbours outside the picture or the slice, and inter
// neighbours under constrained_intra_pred, are not available. In an MBAFF frame the samples
// beside a macroblock are those beside its rows in the frame (6.4.12.2): the lines of its
// own field for a field macroblock, above its first row two lines up; and the bottom frame
// macroblock of a pair has none above to its right.
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

    // Whether luma sample (x, line) of the picture lies in a macroblock `mb` may predict from.
    bool usable(int x, int line, const MbSyntaxRecord& mb) const;
    void pcm_samples();
    void luma_like(int plane, const MbSyntaxRecord& mb);
    void blocks_nxn(int plane, int n, const MbSyntaxRecord& mb);
    void chroma(int plane, int mode);
    bool top_right_available(int bx, int by, int n) const;
    void gather(int plane, int bx, int by, int width, int height, int top_count, bool top_right,
                IntraNeighbours& p) const;
    void add(int plane, int bx, int by, int width, int height, const int32_t* prediction);
    // The index of sample (x, y) of the macroblock in the plane (y may be -1), and the step
    // from a row to the next.
    std::size_t at(int plane, int x, int y) const;
    int row_step(int plane) const { return picture_.width[plane] * rows_.step(); }

    const FrameSyntax& syntax_;
    RebuiltPicture& picture_;
    const int chroma_array_type_;
    const bool mbaff_;
    Around around_;
    int mb_x_ = 0;
    MacroblockRows rows_;
    int32_t prediction_[256];
};
