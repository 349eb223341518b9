#include "ffmpeg/cropping.hpp"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include "ffmpeg/handles.hpp"

namespace {

// A row pitch as FFmpeg's frame pools give them: its alignment is what keeps the top crop
// from moving a plane's first sample off alignment.
constexpr int kLinesizeAlignment = 64;

}  // namespace

// av_frame_apply_cropping is what the decoder itself calls (without AV_FRAME_CROP_UNALIGNED,
// as no session sets AV_CODEC_FLAG_UNALIGNED); the left edge it applies is read back from the
// width it leaves, the right crop being applied exactly.
CropOffsets crop_as_decoder_would(AVFrame& frame) {
    const int width = frame.width;
    const auto top = static_cast<int32_t>(frame.crop_top);
    const auto right = static_cast<int32_t>(frame.crop_right);
    if (av_frame_apply_cropping(&frame, 0) < 0) {
        return CropOffsets{frame.width, frame.height, 0, 0};
    }
    return CropOffsets{frame.width, frame.height, width - frame.width - right, top};
}

// The cropping needs only the planes' pointers and row pitches, not their samples: a frame
// whose planes all point at one small aligned block stands in for the decoded picture.
std::optional<CropOffsets> predict_decoder_crop(AVPixelFormat format, const CodedWindow& window) {
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    if (!desc || window.coded_width <= 0 || window.coded_height <= 0) {
        return std::nullopt;
    }
    alignas(kLinesizeAlignment) static const uint8_t placeholder[kLinesizeAlignment] = {};
    FrameHandle frame = allocate_frame();
    frame->format = format;
    frame->width = window.coded_width;
    frame->height = window.coded_height;
    const int planes = av_pix_fmt_count_planes(format);
    for (int p = 0; p < planes && p < AV_NUM_DATA_POINTERS; ++p) {
        const int row_bytes = av_image_get_linesize(format, window.coded_width, p);
        if (row_bytes <= 0) {
            return std::nullopt;
        }
        frame->data[p] = const_cast<uint8_t*>(placeholder);
        frame->linesize[p] = (row_bytes + kLinesizeAlignment - 1) / kLinesizeAlignment * kLinesizeAlignment;
    }
    frame->crop_left = static_cast<std::size_t>(window.left);
    frame->crop_right = static_cast<std::size_t>(window.right);
    frame->crop_top = static_cast<std::size_t>(window.top);
    frame->crop_bottom = static_cast<std::size_t>(window.bottom);
    // The frame owns no buffer, so freeing it leaves the placeholder alone.
    return crop_as_decoder_would(*frame);
}
