#pragma once

#include <cstdint>

#include "h264/bit_reader.hpp"
#include "syntax/mb_types.hpp"
#include "syntax/picture_grid.hpp"
#include "syntax/slice_syntax_header.hpp"

// Reads one slice's slice_data() into the picture's grid, each syntax structure in a function
// of its own name, its elements in the order the Recommendation's table lists them. What a
// macroblock's elements depend on from its neighbours A (left) and B (above) is found once per
// macroblock. The bits of each macroblock are counted where its elements are read.
class SliceParser {
public:
    // `slice` numbers the slice within its picture; the header's parameter sets must outlive
    // the parser.
    SliceParser(BitReader& reader, const SliceSyntaxHeader& header, PictureGrid& grid, int slice);

    // Reads the slice's macroblocks. Those read in full get `parsed`; where an element is out
    // of its range or the data ends early, that macroblock and the rest of the slice stay
    // unparsed. Returns whether the slice's data ended exactly where its last macroblock did.
    bool slice_data();

private:
    // slice_data.cpp
    void start_macroblock(int address);
    void skip_macroblock();
    void macroblock_layer();
    void pcm_samples();
    void mb_qp_delta();
    void coded_block_pattern();
    int position() const { return static_cast<int>(reader_.position()); }

    // mb_pred.cpp
    void mb_pred();
    void sub_mb_pred();
    void intra_4x4_pred_modes(bool blocks_8x8);
    int predicted_intra_mode(int x, int y) const;
    void intra_chroma_pred_mode();
    int ref_idx(int list);
    void mvd(int list, int x, int y, int width, int height);

    // residual.cpp
    void residual(int start, int end);
    void residual_luma(int plane, int start, int end);
    void residual_chroma(int start, int end);
    int luma_nC(int plane, int x, int y) const;
    int chroma_nC(int component, int x, int y) const;
    void place_4x4(int plane, int block_x, int block_y, const int32_t* levels, int first, int count);
    void place_8x8(int plane, int block_x, int block_y, const int32_t* levels);
    void place_dc(int plane, const int32_t* levels, int columns, int rows, const uint8_t* scan);

    BitReader& reader_;
    const SliceSyntaxHeader& header_;
    const SequenceSyntax& sequence_;
    PictureGrid& grid_;
    const int slice_;
    const int chroma_array_type_;
    const int qp_offset_;
    // QP_Y of the macroblock before in the slice.
    int qp_;

    int address_ = 0;
    int mb_x_ = 0;
    int mb_y_ = 0;
    MbSyntaxRecord* mb_ = nullptr;
    MbNeighbourState* state_ = nullptr;
    // Available neighbours (in the picture and the slice), else null.
    const MbSyntaxRecord* left_ = nullptr;
    const MbSyntaxRecord* above_ = nullptr;
    MbTypeInfo info_{};
    int cbp_luma_ = 0;
    int cbp_chroma_ = 0;
};
