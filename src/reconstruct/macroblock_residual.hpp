#pragma once

#include "reconstruct/level_scale.hpp"
#include "reconstruct/macroblock_rows.hpp"
#include "reconstruct/rebuilt_picture.hpp"

// Scales and inverse-transforms the levels of one macroblock into the residual planes
// (8.5), transform bypass and its intra DPCM (8.5.15) included. A field macroblock of an
// MBAFF frame takes its levels from, and puts its residual on, its rows of the pair.
class MacroblockResidual {
public:
    MacroblockResidual(const FrameSyntax& syntax, const ResidualPlanes& target);

    void rebuild(int mb_x, int mb_y, const MbSyntaxRecord& mb);

private:
    void luma_like(int plane, int qp, const MbSyntaxRecord& mb, bool bypass);
    void chroma(int component, int qp, bool intra, bool bypass);
    // Blocks and samples are placed by their position (x, y) in the macroblock.
    void block_4x4(int plane, int x, int y, int qp, int list, const int32_t* dc);
    void block_8x8(int plane, int x, int y, int qp, int list);
    void dc_only(int plane, int x, int y, int size, int32_t dc);
    void copy_levels(int plane, int width, int height);
    void intra_dpcm(int plane, const MbSyntaxRecord& mb);
    void accumulate(int plane, int x0, int y0, int width, int height, bool vertical);
    // The index of sample (x, y) of the macroblock in the plane, and the step from a row to the next.
    std::size_t at(int plane, int x, int y) const;
    int row_step(int plane) const { return syntax_.coefficients.width[plane] * rows_.step(); }

    const FrameSyntax& syntax_;
    const ResidualPlanes target_;
    LevelScale scale_;
    const int chroma_array_type_;
    const bool mbaff_;
    int mb_x_ = 0;
    MacroblockRows rows_;
    bool intra_ = false;
};
