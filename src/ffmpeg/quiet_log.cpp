#include "ffmpeg/quiet_log.hpp"

#include <mutex>

namespace {

std::mutex quiet_mutex;
int quiet_holders = 0;
int level_before = AV_LOG_INFO;

}  // namespace

QuietFfmpegLog::QuietFfmpegLog() {
    const std::lock_guard<std::mutex> lock(quiet_mutex);
    if (quiet_holders++ == 0) {
        level_before = av_log_get_level();
        av_log_set_level(AV_LOG_FATAL);
    }
}

QuietFfmpegLog::~QuietFfmpegLog() {
    const std::lock_guard<std::mutex> lock(quiet_mutex);
    if (--quiet_holders == 0) {
        av_log_set_level(level_before);
    }
}
