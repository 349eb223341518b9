#pragma once

// What help() shows of the reconstruction methods: the typing stub's docstrings
// (vexmira.pyi), paragraph for paragraph.
namespace docstrings {

inline constexpr const char* kGetResidual = R"(Get the residual of frame, rebuilt from its syntax without decoding, as three int16 arrays (luma, Cb, Cr) at the coded picture's size

The levels of get_coefficients scaled (the scaling matrices in force, each macroblock's
QP, chroma QP from its offsets) and inverse-transformed (4x4 and 8x8, the Intra 16x16
luma DC and chroma DC transforms), or in lossless macroblocks taken as they are, as the
decoder adds them to its prediction: for a frame whose macroblocks are all intra,
clip(get_prediction(frame_idx)[p] + get_residual(frame_idx)[p]) is the picture before
the loop filter. Zero in skipped macroblocks. Chroma arrays are empty for monochrome
streams; field pictures and MBAFF frames raise RuntimeError.)";

inline constexpr const char* kGetPrediction = R"(Get the intra prediction of frame, rebuilt from its syntax without decoding, as three arrays (luma, Cb, Cr) of the picture's sample type at the coded picture's size

Each block predicted as its intra mode says from the samples beside it as rebuilt before
the loop filter (prediction plus residual, macroblock by macroblock), with Intra 8x8's
reference filtering and constrained_intra_pred's rule. Only frames whose macroblocks are
all intra are rebuilt: a frame with inter macroblocks raises PredictionNotBuilt (a
NotImplementedError), as inter prediction is not built yet. An I_PCM macroblock's
prediction is its coded samples and its residual zero.)";

inline constexpr const char* kGetMotionField = R"(Get the motion of each 4x4 block of a P frame, predicted from the syntax without decoding, as a (4 * coded mb rows, 4 * coded mb columns) structured array

mv (2 lists x (x, y), int16, quarter samples) and ref_idx (2 lists, -1 where unused,
intra blocks too): each partition's vector predicted from its neighbours (median, the
16x8 and 8x16 directional rules, P_Skip) plus its coded difference, sub-8x8 partitions
at their own blocks. Frames with B macroblocks (direct prediction, list 1) raise
PredictionNotBuilt; the pictures referred to (ref_poc) are not given yet.)";

}  // namespace docstrings
