#pragma once

#include <cstdint>
#include <optional>

#include "h264/bit_reader.hpp"
#include "syntax/cabac_elements.hpp"
#include "syntax/mb_types.hpp"
#include "syntax/picture_grid.hpp"
#include "syntax/slice_syntax_header.hpp"

// A macroblock beside the current one: its cell in the grid (-1 where unavailable) and the row
// of its samples beside the row asked about.
struct NeighbourRow {
    int cell;
    int row;
};

// Reads one slice's slice_data() into the picture's grid, each syntax structure in a function
// of its own name, its elements in the order the Recommendation's table lists them. What a
// macroblock's elements depend on from its neighbours A (left) and B (above) is found once per
// macroblock; in MBAFF frames the macroblock to the left depends on the row (6.4.12.2). The
// bits of each macroblock are counted where its elements are read.
class SliceParser {
public:
    // `reader` stands after the slice header in the unescaped `payload` of `size` bytes;
    // `slice` numbers the slice within its picture; the header's parameter sets must outlive
    // the parser.
    SliceParser(BitReader& reader, const uint8_t* payload, std::size_t size, const SliceSyntaxHeader& header,
                PictureGrid& grid, int slice);

    // Reads the slice's macroblocks. Those read in full get `parsed`; where an element is out
    // of its range or the data ends early, that macroblock and the rest of the slice stay
    // unparsed, and so does the last macroblock of a slice whose data does not end where its
    // last macroblock does (CAVLC: at the trailing bits; CABAC: end_of_slice_flag and the
    // engine just past the stop bit). Returns whether the slice was read to its end.
    bool slice_data();

private:
    // slice_data.cpp
    void cavlc_slice_data();
    void cabac_slice_data();
    void skip_macroblock();
    void mb_field_decoding_flag();
    std::size_t stop_bit() const;
    int position() const {
        return static_cast<int>(cabac_ ? cabac_->bit_position() : reader_.position());
    }

    // macroblock_layer.cpp
    void macroblock_layer();
    int mb_type();
    void pcm_samples();
    void place_pcm(BitReader& samples);
    void mb_qp_delta();
    void coded_block_pattern();
    bool transform_size_8x8_flag();

    // mb_neighbours.cpp
    void start_macroblock(int address);
    void locate_neighbours();
    bool inferred_field_decoding_flag() const;
    NeighbourRow left_of(int y, int height) const;
    // The block of `size` samples to the left of (above) block (x, y) of a macroblock `rows`
    // blocks tall: its macroblock (this one where it lies inside) and its row of blocks there.
    NeighbourRow left_block(int x, int y, int size, int rows) const {
        if (x > 0) {
            return {cell_, y};
        }
        if (!mbaff_) {
            return {left_cell_, y};
        }
        const NeighbourRow a = left_of(size * y, size * rows);
        return {a.cell, a.row / size};
    }
    NeighbourRow above_block(int y, int rows) const {
        return y > 0 ? NeighbourRow{cell_, y - 1} : NeighbourRow{above_cell_, rows - 1};
    }
    const MbSyntaxRecord* record_at(int cell) const {
        return cell < 0 ? nullptr : &grid_.records[static_cast<std::size_t>(cell)];
    }
    const MbNeighbourState* state_at(int cell) const {
        return cell < 0 ? nullptr : &grid_.states[static_cast<std::size_t>(cell)];
    }

    // cabac_context_selection.cpp: ctxIdxInc from the neighbours A and B (9.3.3.1.1).
    int mb_skip_flag_inc() const;
    int mb_field_decoding_flag_inc() const;
    int mb_type_inc() const;
    int transform_size_8x8_flag_inc() const;
    int intra_chroma_pred_mode_inc() const;
    int ref_idx_inc(int list, int x8, int y8) const;
    int mvd_sum(int list, int component, int x4, int y4) const;
    int coded_block_pattern_luma_inc(int b8, int luma_so_far) const;
    int coded_block_pattern_chroma_inc(int bin) const;
    int coded_block_flag_inc(int plane, int x, int y, int columns, int rows, bool dc, bool block_8x8) const;

    // mb_pred.cpp
    void mb_pred();
    void sub_mb_pred();
    void intra_4x4_pred_modes(bool blocks_8x8);
    int predicted_intra_mode(int x, int y) const;
    void intra_chroma_pred_mode();
    int ref_idx(int list, int x8, int y8);
    void mvd(int list, int x, int y, int width, int height);
    int sub_mb_type();

    // residual.cpp
    void residual(int start, int end);
    void residual_luma(int plane, int start, int end);
    void residual_chroma(int start, int end);
    int luma_block(int plane, int32_t* levels, int start, int end, int max_coeff, int x, int y, int cat);
    // Adds a block's nonzero levels to the picture's count and gives them back.
    int counted(int nonzero_levels);
    int luma_nC(int plane, int x, int y) const;
    int chroma_nC(int component, int x, int y) const;
    int32_t* block_origin(int plane, int x, int y, int& row_stride) const;
    void place_4x4(int plane, int block_x, int block_y, const int32_t* levels, int first, int count);
    void place_8x8(int plane, int block_x, int block_y, const int32_t* levels);
    void place_dc(int plane, const int32_t* levels, int columns, int rows, const uint8_t* scan);

    BitReader& reader_;
    const uint8_t* payload_;
    const std::size_t size_;
    std::optional<CabacElements> cabac_;
    const SliceSyntaxHeader& header_;
    const SequenceSyntax& sequence_;
    PictureGrid& grid_;
    const int slice_;
    const int chroma_array_type_;
    const int qp_offset_;
    // QP_Y of the macroblock before in the slice.
    int qp_;

    int address_ = 0;
    // A field picture's macroblocks take every other row of the frame's grid: `mb_y_` is the
    // row of the field, the grid's row 2 * mb_y_ + (bottom field).
    const bool field_;
    // An MBAFF frame's addresses go by pairs of macroblocks, the top then the bottom one; the
    // grid keeps the frame's rows, a pair's top macroblock in its upper row.
    const bool mbaff_;
    const int grid_row_step_;
    const int grid_row_offset_;
    const int picture_mbs_;
    int mb_x_ = 0;
    int mb_y_ = 0;
    int cell_ = 0;
    bool bottom_ = false;
    // The cells of the top macroblocks of the pairs to the left and above, -1 where
    // unavailable (MBAFF).
    int left_pair_ = -1;
    int above_pair_ = -1;
    MbSyntaxRecord* mb_ = nullptr;
    MbNeighbourState* state_ = nullptr;
    // The neighbouring macroblocks A and B (6.4.11.1): cells and records, -1 and null where
    // unavailable (outside the picture or the slice).
    int left_cell_ = -1;
    int above_cell_ = -1;
    const MbSyntaxRecord* left_ = nullptr;
    const MbSyntaxRecord* above_ = nullptr;
    // prevMbSkipped: whether the macroblock before in the slice was skipped.
    bool previous_skipped_ = false;
    MbTypeInfo info_{};
    int cbp_luma_ = 0;
    int cbp_chroma_ = 0;
    // Whether the macroblock before in the slice coded a nonzero mb_qp_delta.
    bool previous_qp_delta_ = false;
};
