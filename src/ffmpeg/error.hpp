#pragma once

#include <string>

// Describes an FFmpeg error code (a negative AVERROR value) in FFmpeg's own words.
std::string ffmpeg_error_text(int code);
