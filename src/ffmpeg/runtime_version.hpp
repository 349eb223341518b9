#pragma once

#include <map>
#include <string>

// The FFmpeg this process runs with, as the loaded libraries report it, which can differ from
// the headers the module was built against: "ffmpeg" (the release, av_version_info) and
// "libavcodec", "libavformat", "libavutil" as "major.minor.micro".
std::map<std::string, std::string> ffmpeg_runtime_versions();
