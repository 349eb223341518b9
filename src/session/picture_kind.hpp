#pragma once

extern "C" {
#include <libavutil/frame.h>
}

// How the decoder says a picture was coded: 'I', 'P', 'B' (or another letter of FFmpeg's
// picture types, '?' where it gives none), and whether it is a key picture, from which
// decoding can begin.
struct PictureKind {
    char type = '?';
    bool key = false;
};

PictureKind picture_kind(const AVFrame& frame);
