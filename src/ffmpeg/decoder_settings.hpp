#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "ffmpeg/session_options.hpp"

// Configures a decoder context, before it is opened, the way every session decodes: the
// loop filter as the deblocking mode starts it (skipped by default), the per-macroblock QP
// exported as side data with every picture, and the motion vectors where asked for.
void apply_decoder_settings(AVCodecContext* codec_ctx, const SessionOptions& options = {});
