#pragma once

extern "C" {
#include <libavutil/log.h>
}

// Probing complains loudly about streams it cannot fully analyse; that is not the caller's
// concern. The level is process-wide, so it is put back as soon as the last probe under way
// is over: probes of several sessions and interval decoders overlap in time, and each putting
// back what it found would leave the level silenced for good when one found another's
// silence.
class QuietFfmpegLog {
public:
    QuietFfmpegLog();
    ~QuietFfmpegLog();
    QuietFfmpegLog(const QuietFfmpegLog&) = delete;
    QuietFfmpegLog& operator=(const QuietFfmpegLog&) = delete;
};
