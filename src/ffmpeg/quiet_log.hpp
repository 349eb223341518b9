#pragma once

// Probing complains loudly about streams it cannot fully analyse; that is not the caller's
// concern. While one lives, the module's log callback drops what FFmpeg logs on this thread
// below AV_LOG_FATAL. It silences this thread only: FFmpeg's level is process-wide, and
// lowering it would drop what other threads' files say meanwhile (a damaged file read in one
// thread while another opens a file).
class QuietFfmpegLog {
public:
    QuietFfmpegLog();
    ~QuietFfmpegLog();
    QuietFfmpegLog(const QuietFfmpegLog&) = delete;
    QuietFfmpegLog& operator=(const QuietFfmpegLog&) = delete;
};

// Whether a QuietFfmpegLog lives on this thread.
bool ffmpeg_log_quiet_on_this_thread();
