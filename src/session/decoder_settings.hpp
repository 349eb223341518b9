#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
}

// Configures a decoder context, before it is opened, the way every session decodes: the
// pictures are the reconstruction before the in-loop deblocking filter, and each carries
// its per-macroblock QP as side data.
void apply_decoder_settings(AVCodecContext* codec_ctx);
