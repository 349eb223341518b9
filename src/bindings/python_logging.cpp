#include "python_logging.hpp"

#include <regex>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

#include "ffmpeg/ffmpeg_messages.hpp"

namespace {

constexpr int kCritical = 50;
constexpr int kError = 40;
constexpr int kWarning = 30;
constexpr int kInfo = 20;
constexpr int kDebug = 10;

int python_level(int ffmpeg_level) {
    if (ffmpeg_level <= AV_LOG_FATAL) {
        return kCritical;
    }
    if (ffmpeg_level <= AV_LOG_ERROR) {
        return kError;
    }
    if (ffmpeg_level <= AV_LOG_WARNING) {
        return kWarning;
    }
    return ffmpeg_level <= AV_LOG_INFO ? kInfo : kDebug;
}

// "[h264 @ 0x55d0c0a1b2c0] text": the address tells a reader nothing, and neither does the
// "[NULL]" of a context without a name (the parser's).
std::string without_address(const std::string& text) {
    static const std::regex address(R"( @ 0x[0-9a-f]+\])");
    static const std::regex unnamed(R"(^\[NULL\] )");
    return std::regex_replace(std::regex_replace(text, address, "]"), unnamed, "");
}

py::object path_text(const std::string& path) {
    if (path.empty()) {
        return py::none();
    }
    return py::reinterpret_steal<py::object>(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
}

void log_one(const py::object& logger, const FfmpegMessage& message) {
    const py::object path = path_text(message.path);
    std::string where;
    if (!path.is_none()) {
        where = path.cast<std::string>() + (message.frame >= 0 ? " frame " + std::to_string(message.frame) : "") + ": ";
    }
    py::dict extra;
    extra["path"] = path;
    extra["frame"] = message.frame >= 0 ? py::object(py::int_(message.frame)) : py::object(py::none());
    extra["ffmpeg_level"] = message.level;
    logger.attr("log")(python_level(message.level), "%s", where + without_address(message.text),
                       py::arg("extra") = extra);
}

}  // namespace

void log_ffmpeg_messages(const std::string& path) {
    const TakenMessages taken = take_ffmpeg_messages(path);
    if (taken.messages.empty() && taken.dropped == 0) {
        return;
    }
    const py::object logger = py::module_::import("logging").attr("getLogger")("vexmira.ffmpeg");
    for (const FfmpegMessage& message : taken.messages) {
        log_one(logger, message);
    }
    if (taken.dropped > 0) {
        logger.attr("warning")("%d more of FFmpeg's messages were not kept", taken.dropped);
    }
}

// A destructor may run while an exception leaves the call: nothing may escape it, and what
// logging could not take is lost rather than hiding that exception.
FfmpegMessagesToLogging::~FfmpegMessagesToLogging() {
    try {
        log_ffmpeg_messages(path_);
    } catch (py::error_already_set& error) {
        error.discard_as_unraisable("logging FFmpeg's messages");
    } catch (...) {
    }
}
