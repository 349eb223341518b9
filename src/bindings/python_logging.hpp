#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>

namespace py = pybind11;

// FFmpeg's messages go to Python's logging, logger "vexmira.ffmpeg", so that a program that
// configures nothing still sees warnings and errors on stderr (logging's last resort) and one
// that configures logging decides. Each record's message reads "<path> frame <n>: [<FFmpeg
// component>] <text>"; the record carries `path` (str, as os.fsdecode gives it, or None),
// `frame` (int or None) and `ffmpeg_level` (FFmpeg's AV_LOG_* number). FFmpeg's levels map
// to logging's: panic and fatal CRITICAL, error ERROR, warning WARNING, info INFO, the rest
// DEBUG.
//
// While one lives, the messages kept by then of its file (and of none) are logged when it goes;
// every method that reads the file has one, so that the messages of a call are logged before
// it returns, on its thread. Messages of the read-ahead's threads are logged by the next call
// on the file. A call never logs another file's messages: a program reading several files at
// once, in threads that each take their own file's messages, gets each message in the thread
// whose call caused it (or in one reading the same file).
class FfmpegMessagesToLogging {
public:
    explicit FfmpegMessagesToLogging(std::string path) : path_(std::move(path)) {}
    ~FfmpegMessagesToLogging();
    FfmpegMessagesToLogging(const FfmpegMessagesToLogging&) = delete;
    FfmpegMessagesToLogging& operator=(const FfmpegMessagesToLogging&) = delete;

private:
    std::string path_;
};

// Logs the messages kept until now of the file at `path` and of none; the GIL must be held.
void log_ffmpeg_messages(const std::string& path);
