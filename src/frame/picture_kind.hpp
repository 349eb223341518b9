#pragma once

#include <string>

extern "C" {
#include <libavutil/frame.h>
}

// How a decoded picture was predicted, and whether it came out whole, as the decoder reports it.
struct PictureKind {
    // "I", "P", "B", "S", "SI", "SP" or "BI"; "?" where the decoder set no type.
    std::string type = "?";
    // Whether decoding can start at this picture.
    bool key = false;
    // Whether the decoder reported errors in the picture (AVFrame.decode_error_flags: damaged
    // slices, concealment, missing references) or marked it corrupt: what is shown in the
    // damaged parts is the decoder's guess, not the stream's picture.
    bool damaged = false;
};

PictureKind read_picture_kind(const AVFrame& frame);
