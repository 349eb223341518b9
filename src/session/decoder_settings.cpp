#include "decoder_settings.hpp"

void apply_decoder_settings(AVCodecContext* codec_ctx) {
    codec_ctx->skip_loop_filter = AVDISCARD_ALL;
    codec_ctx->export_side_data |= AV_CODEC_EXPORT_DATA_VIDEO_ENC_PARAMS;
    // The library picks the number of threads, but only among slice threads: with frame
    // threads the decoder exports a picture's QP table while another thread may still be
    // writing it, and a few maps in a hundred come out with stale or zero values.
    codec_ctx->thread_count = 0;
    codec_ctx->thread_type = FF_THREAD_SLICE;
}
