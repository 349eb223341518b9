#pragma once

#include <cstdint>
#include <optional>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

// A coded picture and the window of it a stream asks to show, in luma samples.
struct CodedWindow {
    int32_t coded_width = 0;
    int32_t coded_height = 0;
    int32_t left = 0;
    int32_t right = 0;
    int32_t top = 0;
    int32_t bottom = 0;
};

// Where a picture lies in its coded picture, once cropped as FFmpeg's decoders crop by
// default: exactly, except that a left edge that would leave a plane's first sample off the
// 32-byte alignment FFmpeg keeps is moved left until it does not (8-bit 4:2:0: to a multiple
// of 64 samples), so that the picture keeps some columns the stream asks to hide.
struct CropOffsets {
    int32_t width = 0;
    int32_t height = 0;
    int32_t left = 0;
    int32_t top = 0;
};

// Crops a decoded picture whose decoder left it whole (AVCodecContext.apply_cropping 0), as
// the decoder would have; returns where the picture lies in the coded one. A frame whose
// window FFmpeg refuses is left whole.
CropOffsets crop_as_decoder_would(AVFrame& frame);

// The same for a picture not decoded yet: what the decoder will output for this window.
std::optional<CropOffsets> predict_decoder_crop(AVPixelFormat format, const CodedWindow& window);
