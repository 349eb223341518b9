#include "ffmpeg/ffmpeg_messages.hpp"

#include <algorithm>
#include <iterator>
#include <mutex>
#include <utility>

extern "C" {
#include <libavutil/log.h>
}

#include "ffmpeg/mb_type_log.hpp"
#include "ffmpeg/quiet_log.hpp"

namespace {

thread_local MessageContext* current = nullptr;

std::mutex kept_mutex;
std::vector<FfmpegMessage> kept;
std::size_t dropped = 0;
// FFmpeg's prefix is printed only at the start of a line: a message split over several calls
// ("...\n" last) is one line, whose later parts carry no prefix of their own. Each thread
// logs its own lines.
thread_local int print_prefix = 1;
thread_local std::string partial_line;

void route_message(void* context, int level, const char* format, va_list arguments) {
    if (MbTypeLog::take_if_listening(context, level, format, arguments)) {
        return;
    }
    keep_ffmpeg_message(context, level, format, arguments);
}

void keep(FfmpegMessage message) {
    if (kept.size() >= kMaxKeptMessages) {
        ++dropped;
        return;
    }
    kept.push_back(std::move(message));
}

}  // namespace

void install_message_callback() {
    static std::once_flag installed;
    std::call_once(installed, [] { av_log_set_callback(route_message); });
}

// Called from FFmpeg's C code, through which no exception may pass: a message that cannot be
// kept (no memory) is lost.
void keep_ffmpeg_message(void* context, int level, const char* format, va_list arguments) {
    if (level > av_log_get_level() || (level > AV_LOG_FATAL && ffmpeg_log_quiet_on_this_thread())) {
        return;
    }
    try {
        char line[1024];
        va_list formatting;
        va_copy(formatting, arguments);
        av_log_format_line(context, level, format, formatting, line, sizeof(line), &print_prefix);
        va_end(formatting);
        partial_line += line;
        if (partial_line.empty() || partial_line.back() != '\n') {
            return;
        }
        partial_line.pop_back();
        FfmpegMessage message;
        message.level = level;
        message.text = std::exchange(partial_line, std::string());
        if (current) {
            message.path = current->path();
            message.frame = current->frame();
            if (current->passed_over()) {
                message.level = AV_LOG_DEBUG;
            }
        }
        const std::lock_guard<std::mutex> lock(kept_mutex);
        keep(std::move(message));
    } catch (...) {
    }
}

TakenMessages take_ffmpeg_messages(const std::string& path) {
    const std::lock_guard<std::mutex> lock(kept_mutex);
    TakenMessages taken;
    taken.dropped = std::exchange(dropped, 0);
    const auto others = std::stable_partition(kept.begin(), kept.end(), [&](const FfmpegMessage& message) {
        return message.path == path || message.path.empty();
    });
    taken.messages.assign(std::make_move_iterator(kept.begin()), std::make_move_iterator(others));
    kept.erase(kept.begin(), others);
    return taken;
}

MessageContext::MessageContext(const std::string& path) : path_(path), previous_(current) { current = this; }

MessageContext::~MessageContext() { current = previous_; }

void MessageContext::set_frame(int32_t frame, bool passed_over) {
    frame_ = frame;
    passed_over_ = passed_over;
}
