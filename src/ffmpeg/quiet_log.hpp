#pragma once

extern "C" {
#include <libavutil/log.h>
}

// Probing complains loudly about streams it cannot fully analyse; that is not the caller's
// concern. The level is process-wide, so it is put back as soon as the probe is over.
class QuietFfmpegLog {
public:
    QuietFfmpegLog() : saved_level_(av_log_get_level()) { av_log_set_level(AV_LOG_FATAL); }
    ~QuietFfmpegLog() { av_log_set_level(saved_level_); }
    QuietFfmpegLog(const QuietFfmpegLog&) = delete;
    QuietFfmpegLog& operator=(const QuietFfmpegLog&) = delete;

private:
    int saved_level_;
};
