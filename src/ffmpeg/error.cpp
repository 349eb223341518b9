#include "ffmpeg/error.hpp"

extern "C" {
#include <libavutil/error.h>
}

std::string ffmpeg_error_text(int code) {
    char buffer[64] = {};
    av_strerror(code, buffer, sizeof buffer);
    return std::string(buffer);
}
