#pragma once

#include <cstdint>
#include <limits>
#include <string>

#include "syntax/frame_syntax_reader.hpp"

// One frame's totals over the macroblocks of its syntax that were read, as syntax_stats gives
// them, with frame_stats' marks of "no value": NaN means and -1 for the rest where no
// macroblock was read (a refused coding, a frame without readable slices).
struct FrameSummary {
    // FFmpeg's letters for the kind of its first slice ("I", "P", "B", "SP", "SI"); empty
    // where no slice header of the frame was read.
    std::string picture_type;
    uint8_t key = 0;
    // Whether every macroblock of the frame was read.
    uint8_t parsed = 0;
    // Over the macroblocks read.
    double qp_mean = std::numeric_limits<double>::quiet_NaN();
    int8_t qp_min = -1;
    int8_t qp_max = -1;
    // Over the macroblocks read that code a QP of their own (mb_qp_delta): Intra 16x16 and
    // those with a coded block pattern; NaN where none does.
    double qp_mean_coded = std::numeric_limits<double>::quiet_NaN();
    // As frame_stats counts them: intra, P and B skip, B direct with residual, motion-coded.
    int32_t mb_intra = -1;
    int32_t mb_skip = -1;
    int32_t mb_direct = -1;
    int32_t mb_inter = -1;
    // The sums of the macroblocks' bits of each part (MbSyntaxRecord).
    int64_t bits_header = -1;
    int64_t bits_prediction = -1;
    int64_t bits_residual = -1;
    // Nonzero quantised levels of every block, DC blocks included (I_PCM samples are none).
    int64_t nonzero_coefficients = -1;
    // Of the 8x8 blocks of the macroblocks read (four each), the share whose motion is coded
    // in partitions smaller than 8x8 (a sub-macroblock of 8x4, 4x8 or 4x4); direct
    // sub-macroblocks are not counted, whatever their motion. NaN where none was read.
    double sub8x8_share = std::numeric_limits<double>::quiet_NaN();
};

FrameSummary summarise_frame(const FrameSyntax& syntax);
