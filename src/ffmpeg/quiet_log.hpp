#pragma once

#include <mutex>

extern "C" {
#include <libavutil/log.h>
}

// Probing complains loudly about streams it cannot fully analyse; that is not the caller's
// concern. The level is process-wide, so it is put back as soon as the probe is over. Probes
// overlap where several threads open files (sessions opened at once, a session's read-ahead
// decoders): the first of them saves the level and the last puts it back, so that none puts
// back the quiet level another one set.
class QuietFfmpegLog {
public:
    QuietFfmpegLog() {
        Shared& shared = shared_state();
        std::lock_guard<std::mutex> lock(shared.mutex);
        if (shared.probes++ == 0) {
            shared.saved_level = av_log_get_level();
            av_log_set_level(AV_LOG_FATAL);
        }
    }
    ~QuietFfmpegLog() {
        Shared& shared = shared_state();
        std::lock_guard<std::mutex> lock(shared.mutex);
        if (--shared.probes == 0) {
            av_log_set_level(shared.saved_level);
        }
    }
    QuietFfmpegLog(const QuietFfmpegLog&) = delete;
    QuietFfmpegLog& operator=(const QuietFfmpegLog&) = delete;

private:
    struct Shared {
        std::mutex mutex;
        int probes = 0;
        int saved_level = AV_LOG_INFO;
    };
    static Shared& shared_state() {
        static Shared shared;
        return shared;
    }
};
