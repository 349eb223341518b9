#pragma once

#include <cstdarg>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

// What the log holds for one picture the decoder returned.
struct MbTypeRows {
    enum class Status {
        // The decoder's macroblock types are not captured.
        NotCaptured,
        // The rows the decoder printed for the picture.
        Captured,
        // The decoder printed nothing for the picture: FFmpeg's log callback is no longer the
        // module's, or this FFmpeg was built without the code that prints them.
        NotPrinted,
        // The codec is not H.264, whose decoder alone prints them.
        NotPrintedByCodec,
    };
    Status status = Status::NotCaptured;
    // av_get_picture_type_char of the picture as the decoder printed it.
    char picture_type = '?';
    // Each macroblock row of the decoder's own grid, top first: three characters per
    // macroblock (type and prediction, partition, interlacing), the row's position cut off.
    std::vector<std::string> rows;
};

// FFmpeg's H.264 decoder knows how each macroblock was coded but publishes it only as debug
// text: with FF_DEBUG_MB_TYPE it prints a "New frame, type: X" line and then one line per
// macroblock row when it outputs a picture (ff_print_debug_info2). This captures that text for
// one decoder, the picture's rows apart from every other message.
//
// FFmpeg 5.1 prints each character with its own av_log call and ends each row with a "\n" of
// its own; 7.1, 8.1 and 9.0 print a line of column positions after the "New frame" line, then
// each row in one call, led by its vertical position in pixels. Both forms are read.
//
// The callback is process-wide (av_log_set_callback), the module's (ffmpeg_messages.hpp),
// installed at the latest when the first log is made. It hands a message to a log only on the
// thread that is decoding with it (Listening) and only when the message's context is the log's
// decoder, so that any number of decoders may decode at once on their own threads. Every other
// message is kept as FfmpegMessages keeps FFmpeg's messages. Another library that sets its own
// callback later takes the rows away: pictures then come out NotPrinted.
class MbTypeLog {
public:
    // Asks the decoder, which must not be open yet, to print the types.
    explicit MbTypeLog(AVCodecContext& decoder);
    MbTypeLog(const MbTypeLog&) = delete;
    MbTypeLog& operator=(const MbTypeLog&) = delete;

    // While one lives, the log's decoder's messages on this thread come to the log. Only the
    // decoding calls need one; they nest.
    class Listening {
    public:
        // `log` may be null: then nothing changes.
        explicit Listening(MbTypeLog* log);
        ~Listening();
        Listening(const Listening&) = delete;
        Listening& operator=(const Listening&) = delete;

    private:
        MbTypeLog* previous_;
    };

    // The rows of the picture the decoder has just returned (the picture received last).
    MbTypeRows take_rows_of_returned_picture();

    // For the callback: whether the message is that of the log listening on this thread, and
    // if so, takes it.
    static bool take_if_listening(void* context, int level, const char* format, va_list arguments);
    // Whether the message is the log's, and if so, takes it.
    bool take_message(void* context, int level, const char* format, va_list arguments);
    // For the callback, where taking a message failed (no memory).
    void drop_picture_being_printed();

private:
    struct Picture {
        // The decoder's count of returned pictures when it printed this one: the picture is
        // returned as that count's picture, unless it is dropped on the way out, in which case
        // the next one printed has the same count and takes its place.
        int64_t returned_before = 0;
        char picture_type = '?';
        std::vector<std::string> rows;
    };

    void start_picture(char picture_type);
    void take_character(char c);
    void take_text(const char* text, std::size_t length);
    void take_line(std::string_view line);
    void end_picture();

    AVCodecContext& decoder_;
    const bool prints_types_;
    std::deque<Picture> printed_;
    // The picture whose rows are being printed, at the back of printed_.
    bool in_picture_ = false;
    bool header_possible_ = false;
    std::string line_;
};
