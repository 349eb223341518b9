#include "decoder_settings.hpp"

void apply_decoder_settings(AVCodecContext* codec_ctx) {
    codec_ctx->skip_loop_filter = AVDISCARD_ALL;
    codec_ctx->export_side_data |= AV_CODEC_EXPORT_DATA_VIDEO_ENC_PARAMS;
    // One thread. With frame threads the decoder exports a picture's QP table while another
    // thread may still be writing it, and a few maps in a hundred come out with stale or
    // zero values. With slice threads FFmpeg turns error concealment off: the macroblocks of
    // a damaged slice then keep whatever an earlier picture left in the recycled buffer, so
    // the picture would show another frame's data, different from machine to machine with
    // the number of cores.
    codec_ctx->thread_count = 1;
}
