#pragma once

#include <optional>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/video_enc_params.h>
}

// What a QP map's values measure. FFmpeg's decoders export each block's quantiser in the
// terms of one of a few families (AVVideoEncParamsType), which the map keeps as they are.
enum class QpScale {
    // FFmpeg exports no per-block quantiser for the codec, or one the map does not hold
    // (VP9's quantiser index runs to 255): every map is -1.
    None,
    // H.264's QP_Y, 0..51, plus 6 * (bit depth - 8) above 8 bits.
    H264,
    // MPEG-2's quantiser_scale, 1..112 (2..62 with the linear scale). MPEG-1 and the H.263
    // family (MPEG-4 Part 2, H.263, Sorenson, Microsoft MPEG-4, WMV 7/8, RealVideo) code a
    // quantiser of 1..31, which FFmpeg exports doubled onto this scale.
    Mpeg2,
};

// The scale of the maps a stream of this codec gives: the family FFmpeg's decoder for it
// exports, for the decoders whose export the module reads.
QpScale qp_scale_of(AVCodecID codec);

// The scale a picture's exported parameters are on; None for a family the map does not hold.
QpScale qp_scale_of(AVVideoEncParamsType type);

// "h264", "mpeg2", or nothing for QpScale::None.
std::optional<std::string> qp_scale_name(QpScale scale);

// The highest value a map of this scale holds.
int max_qp(QpScale scale);
