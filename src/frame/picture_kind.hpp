#pragma once

#include <string>

extern "C" {
#include <libavutil/frame.h>
}

// How a decoded picture was predicted, as the decoder reports it.
struct PictureKind {
    // "I", "P", "B", "S", "SI", "SP" or "BI"; "?" where the decoder set no type.
    std::string type = "?";
    // Whether decoding can start at this picture.
    bool key = false;
};

PictureKind read_picture_kind(const AVFrame& frame);
