#include "ffmpeg/decoder_settings.hpp"

namespace {

// "exact" filters the references and starts with the filter of every other picture skipped;
// the session then switches it for each packet (LoopFilterSwitch).
AVDiscard opening_loop_filter(DeblockingMode mode) {
    switch (mode) {
        case DeblockingMode::Exact:
            return AVDISCARD_NONREF;
        case DeblockingMode::On:
            return AVDISCARD_DEFAULT;
        case DeblockingMode::Skip:
            break;
    }
    return AVDISCARD_ALL;
}

}  // namespace

void apply_decoder_settings(AVCodecContext* codec_ctx, const SessionOptions& options) {
    codec_ctx->skip_loop_filter = opening_loop_filter(options.deblocking);
    codec_ctx->export_side_data |= AV_CODEC_EXPORT_DATA_VIDEO_ENC_PARAMS;
    if (options.motion_vectors) {
        codec_ctx->export_side_data |= AV_CODEC_EXPORT_DATA_MVS;
    }
    // One thread. With frame threads the decoder exports a picture's QP table while another
    // thread may still be writing it, and a few maps in a hundred come out with stale or
    // zero values. With slice threads FFmpeg turns error concealment off: the macroblocks of
    // a damaged slice then keep whatever an earlier picture left in the recycled buffer, so
    // the picture would show another frame's data, different from machine to machine with
    // the number of cores. One thread is also what lets the loop filter be switched for
    // exactly one packet.
    codec_ctx->thread_count = 1;
    // Pictures come whole, with the stream's cropping window beside them: the snapshot crops
    // them as the decoder would have, and only so learns where the picture lies in the coded
    // one, which the QP table is laid out on.
    codec_ctx->apply_cropping = 0;
}
