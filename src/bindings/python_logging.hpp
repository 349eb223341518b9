#pragma once

#include <pybind11/pybind11.h>

namespace py = pybind11;

// FFmpeg's messages go to Python's logging, logger "vexmira.ffmpeg", so that a program that
// configures nothing still sees warnings and errors on stderr (logging's last resort) and one
// that configures logging decides. Each record's message reads "<path> frame <n>: [<FFmpeg
// component>] <text>"; the record carries `path` (str, as os.fsdecode gives it, or None),
// `frame` (int or None) and `ffmpeg_level` (FFmpeg's AV_LOG_* number). FFmpeg's levels map
// to logging's: panic and fatal CRITICAL, error ERROR, warning WARNING, info INFO, the rest
// DEBUG.
//
// While one lives, the messages kept by then are logged when it goes; every method that
// decodes has one, so that the messages of a call are logged before it returns. Messages of
// the read-ahead's threads are logged by the next call.
class FfmpegMessagesToLogging {
public:
    FfmpegMessagesToLogging() = default;
    ~FfmpegMessagesToLogging();
    FfmpegMessagesToLogging(const FfmpegMessagesToLogging&) = delete;
    FfmpegMessagesToLogging& operator=(const FfmpegMessagesToLogging&) = delete;
};

// Logs the messages kept until now; the GIL must be held.
void log_ffmpeg_messages();
