#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>
#include <vector>

// FFmpeg's messages, taken from its process-wide log callback and kept for the bindings to
// hand to Python's logging, instead of being printed to stderr as FFmpeg's own callback
// prints them: without the file's name, and in the middle of whatever else is on the line.
//
// A message is kept where FFmpeg would have printed it (its level within av_log_get_level()),
// but for what a thread logs while it probes (QuietFfmpegLog),
// with the file and frame that the thread logging it was working on, where it was working
// on one (MessageContext). Messages the module's macroblock-type capture takes never get
// here. At most kMaxKeptMessages wait; beyond that they are counted, not kept.
struct FfmpegMessage {
    // FFmpeg's level (AV_LOG_ERROR...), lowered to AV_LOG_DEBUG for a picture that is decoded
    // only to reach another and then dropped.
    int level = 0;
    // The message as FFmpeg prints it, "[h264 @ 0x...] " prefix included, without the newline.
    std::string text;
    // The file's path as it was opened; empty where the message came from no file's work.
    std::string path;
    // The frame whose packet was being decoded; -1 where none was.
    int32_t frame = -1;
};

inline constexpr std::size_t kMaxKeptMessages = 10000;

// Makes the module's callback FFmpeg's; once, whoever asks first.
void install_message_callback();

// The messages kept until now of the file at `path` and of no file, oldest first, and how many
// messages were not kept. Another file's stay for a call on that file: a call that logged
// them would give them to its own file's reader, in whatever thread it runs.
struct TakenMessages {
    std::vector<FfmpegMessage> messages;
    std::size_t dropped = 0;
};
TakenMessages take_ffmpeg_messages(const std::string& path);

// For the callback: keeps the message, as the context of this thread says.
void keep_ffmpeg_message(void* context, int level, const char* format, va_list arguments);

// While one lives, messages logged on its thread are the file's; they nest.
class MessageContext {
public:
    explicit MessageContext(const std::string& path);
    ~MessageContext();
    MessageContext(const MessageContext&) = delete;
    MessageContext& operator=(const MessageContext&) = delete;

    // The frame whose packet is decoded next, and whether its picture is only a way to reach
    // another and will be dropped.
    void set_frame(int32_t frame, bool passed_over);

    const std::string& path() const { return path_; }
    int32_t frame() const { return frame_; }
    bool passed_over() const { return passed_over_; }

private:
    const std::string& path_;
    int32_t frame_ = -1;
    bool passed_over_ = false;
    MessageContext* previous_;
};
