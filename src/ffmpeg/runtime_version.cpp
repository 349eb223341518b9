#include "ffmpeg/runtime_version.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
}

namespace {

std::string dotted_version(unsigned version) {
    return std::to_string(AV_VERSION_MAJOR(version)) + "." + std::to_string(AV_VERSION_MINOR(version)) + "." +
           std::to_string(AV_VERSION_MICRO(version));
}

}  // namespace

std::map<std::string, std::string> ffmpeg_runtime_versions() {
    return {
        {"ffmpeg", av_version_info()},
        {"libavcodec", dotted_version(avcodec_version())},
        {"libavformat", dotted_version(avformat_version())},
        {"libavutil", dotted_version(avutil_version())},
    };
}
