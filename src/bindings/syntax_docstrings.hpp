#pragma once

// What help() shows of the syntax methods: the typing stub's docstrings (vexmira.pyi),
// paragraph for paragraph, as docstrings.hpp keeps those of the others.
namespace docstrings {

inline constexpr const char* kGetMbSyntax = R"(Get the syntax of each macroblock of frame, read from its packet without decoding, as a (mb_rows, mb_cols) structured array

On the grid of get_qpmap. type, partition, interlaced: as get_mbtype_map gives them
(partition is Partition.UNKNOWN for direct prediction, which follows the co-located
picture); mb_type: the coded value for its slice's kind, -1 skipped; sub_mb_type (4):
of 8x8-partitioned macroblocks, else -1; transform_8x8 (bool); intra_modes (16): each
4x4 block's luma prediction mode in raster order, -1 for inter; chroma_mode: -1 for
inter; ref_idx (2 lists x 4 8x8 blocks): -1 where the list is unused; mvd (2 lists x
16 4x4 blocks x (x, y)); cbp: CodedBlockPatternLuma + 16 * CodedBlockPatternChroma,
-1 skipped and I_PCM; qp_delta; qp: as get_qpmap gives it; slice: the slice's number in
the picture; parsed: False from where a slice cannot be read on (damage, or a coding the
parser refuses); bits_header (skip run, mb_type, sub types, transform flag, cbp, QP
delta), bits_prediction (intra modes, reference indices, motion vector differences)
and bits_residual (coefficients; I_PCM samples): a skip run's bits go to the macroblock
coded after it, or to the last it skips where it ends the slice.

The parser reads frames and field pictures coded with CAVLC or CABAC; MBAFF frames,
slice groups (FMO), SI/SP slices, redundant pictures, data partitions and the extension
units of SVC and MVC are refused: their macroblocks are not parsed (parsed False, type
MbType.UNKNOWN, qp -1). With CABAC a macroblock's bits are the arithmetic decoder's
positions before and after it, each element's share the bits its renormalisations read;
the first macroblock of a slice also holds the alignment and the decoder's first 9 bits,
the last the bits up to the stop bit, so that a slice's macroblocks sum to its data.)";

inline constexpr const char* kGetCoefficients = R"(Get the quantised levels of frame, read from its packet without decoding, as three int32 arrays (luma, Cb, Cr) at the coded picture's size

Each block's levels sit at their places in the block, the scan undone; levels coded
apart from their blocks (Intra 16x16 luma DC, chroma DC) sit at each block's [0, 0].
For example, an Intra 16x16 macroblock at the top left whose luma DC levels are 5, -1
(the first two of the zig-zag scan) and whose block at column 1 of row 0 codes one AC
level 2 after its DC: luma[0, 0] == 5, luma[0, 4] == -1 (the DC of the block at
column 1), luma[0, 5] == 2. An I_PCM macroblock's places hold its samples. Chroma planes
are empty for monochrome streams; the arrays cover the coded picture, cropping undone.)";

inline constexpr const char* kGetMbSyntaxes = R"(The syntax of many frames (every frame when frames is None) as one (len(frames), mb_rows, mb_cols) structured array like get_mb_syntax's, read without decoding on `threads` readers (None: every usable core)

Frames are independent: each reader reads a run of them in file order, from the key
packet before its first frame (for the parameter sets in force).)";

}  // namespace docstrings
