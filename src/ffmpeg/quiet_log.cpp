#include "ffmpeg/quiet_log.hpp"

#include "ffmpeg/ffmpeg_messages.hpp"

namespace {

thread_local int quiet_depth = 0;

}  // namespace

QuietFfmpegLog::QuietFfmpegLog() {
    // The silence is the module's callback's doing: a program that never installed it (a
    // native tool) gets it here.
    install_message_callback();
    ++quiet_depth;
}

QuietFfmpegLog::~QuietFfmpegLog() { --quiet_depth; }

bool ffmpeg_log_quiet_on_this_thread() { return quiet_depth > 0; }
