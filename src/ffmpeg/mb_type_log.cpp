#include "ffmpeg/mb_type_log.hpp"

#include "ffmpeg/ffmpeg_messages.hpp"

#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

extern "C" {
#include <libavutil/log.h>
}

namespace {

// The first line ff_print_debug_info2 prints for a picture, the same from 5.1 to 9.0.
constexpr const char* kNewPicture = "New frame, type: %c\n";
constexpr std::size_t kCharactersPerMacroblock = 3;
constexpr int kMacroblockSize = 16;

thread_local MbTypeLog* listening = nullptr;

// The message as FFmpeg would print it, without the context prefix.
std::string formatted(const char* format, va_list arguments) {
    va_list measuring;
    va_copy(measuring, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, measuring);
    va_end(measuring);
    if (length <= 0) {
        return {};
    }
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    va_list writing;
    va_copy(writing, arguments);
    std::vsnprintf(text.data(), text.size(), format, writing);
    va_end(writing);
    text.pop_back();
    return text;
}

// A line of text taken from the decoder that turns out not to be a row goes on as any other
// message of FFmpeg's.
void pass_on(void* context, int level, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    keep_ffmpeg_message(context, level, format, arguments);
    va_end(arguments);
}

bool is_type_character(char c) {
    switch (c) {
        case 'P': case 'A': case 'i': case 'I': case 'd': case 'D': case 'g': case 'G': case 'S': case '<':
        case '>': case 'X':
            return true;
        default:
            return false;
    }
}
bool is_partition_character(char c) { return c == '+' || c == '-' || c == '|' || c == ' ' || c == '?'; }
bool is_interlacing_character(char c) { return c == ' ' || c == '='; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool are_macroblocks(std::string_view cells) {
    if (cells.empty() || cells.size() % kCharactersPerMacroblock != 0) {
        return false;
    }
    for (std::size_t i = 0; i < cells.size(); i += kCharactersPerMacroblock) {
        if (!is_type_character(cells[i]) || !is_partition_character(cells[i + 1]) ||
            !is_interlacing_character(cells[i + 2])) {
            return false;
        }
    }
    return true;
}

bool is_column_positions(std::string_view line) {
    bool digits = false;
    for (const char c : line) {
        if (is_digit(c)) {
            digits = true;
        } else if (c != ' ') {
            return false;
        }
    }
    return digits;
}

// The macroblocks of a row line, or an empty view where the line is no row `row`: 5.1
// prints the macroblocks alone; later releases put the row's first pixel line before them,
// right-aligned, and a space.
std::string_view macroblocks_of_row(std::string_view line, std::size_t row) {
    std::size_t position = 0;
    if (!line.empty() && (line[0] == ' ' || is_digit(line[0]))) {
        std::size_t pixel_line = 0;
        position = line.find_first_not_of(' ');
        const std::size_t digits = position;
        while (position < line.size() && is_digit(line[position]) && pixel_line <= row * kMacroblockSize) {
            pixel_line = pixel_line * 10 + static_cast<std::size_t>(line[position] - '0');
            ++position;
        }
        if (position == digits || position >= line.size() || line[position] != ' ' ||
            pixel_line != row * kMacroblockSize) {
            return {};
        }
        ++position;
    }
    const std::string_view cells = line.substr(position);
    return are_macroblocks(cells) ? cells : std::string_view();
}

int64_t returned_picture_count(const AVCodecContext& decoder) {
    // frame_num replaced frame_number in libavcodec 60.2.100; the older field is gone from 7.0 on.
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(60, 2, 100)
    return decoder.frame_num;
#else
    return decoder.frame_number;
#endif
}

}  // namespace

MbTypeLog::MbTypeLog(AVCodecContext& decoder)
    : decoder_(decoder), prints_types_(decoder.codec_id == AV_CODEC_ID_H264) {
    if (prints_types_) {
        decoder_.debug |= FF_DEBUG_MB_TYPE;
        install_message_callback();
    }
}

// Called from FFmpeg's C code, through which no exception may pass: a picture whose text
// could not be kept comes out without rows, and its map raises where it is asked for.
bool MbTypeLog::take_if_listening(void* context, int level, const char* format, va_list arguments) {
    MbTypeLog* log = listening;
    try {
        return log && log->take_message(context, level, format, arguments);
    } catch (...) {
        log->drop_picture_being_printed();
        return true;
    }
}

MbTypeLog::Listening::Listening(MbTypeLog* log) : previous_(listening) {
    if (log) {
        listening = log;
    }
}

MbTypeLog::Listening::~Listening() { listening = previous_; }

bool MbTypeLog::take_message(void* context, int level, const char* format, va_list arguments) {
    if (context != &decoder_) {
        return false;
    }
    // 5.1 prints each character of a row as a format of its own, some 25,000 calls for a
    // 1080p picture: the cheapest path.
    if (in_picture_ && level == AV_LOG_DEBUG && format[0] != '\0' && format[0] != '%' && format[1] == '\0') {
        take_character(format[0]);
        return true;
    }
    if (std::strcmp(format, kNewPicture) == 0) {
        va_list reading;
        va_copy(reading, arguments);
        const int type = va_arg(reading, int);
        va_end(reading);
        start_picture(static_cast<char>(type));
        return true;
    }
    if (!in_picture_ || level != AV_LOG_DEBUG) {
        end_picture();
        return false;
    }
    const std::string text = std::strchr(format, '%') == nullptr ? std::string(format) : formatted(format, arguments);
    take_text(text.data(), text.size());
    return true;
}

void MbTypeLog::start_picture(char picture_type) {
    end_picture();
    const int64_t returned_before = returned_picture_count(decoder_);
    if (!printed_.empty() && printed_.back().returned_before == returned_before) {
        // Printed, then dropped before it was returned (a packet marked for discarding).
        printed_.pop_back();
    }
    printed_.push_back(Picture{returned_before, picture_type, {}});
    in_picture_ = true;
    header_possible_ = true;
}

void MbTypeLog::take_character(char c) {
    if (c == '\n') {
        take_text(&c, 1);
    } else {
        line_.push_back(c);
    }
}

// Only the new text is searched for the end of the line.
void MbTypeLog::take_text(const char* text, std::size_t length) {
    std::size_t end = line_.size();
    line_.append(text, length);
    std::size_t start = 0;
    while (in_picture_ && (end = line_.find('\n', end)) != std::string::npos) {
        take_line(std::string_view(line_).substr(start, end - start));
        start = ++end;
    }
    // A line that ended the picture has emptied the buffer already.
    if (in_picture_) {
        line_.erase(0, start);
    }
}

void MbTypeLog::take_line(std::string_view line) {
    const bool header = header_possible_ && is_column_positions(line);
    header_possible_ = false;
    if (header) {
        return;
    }
    std::vector<std::string>& rows = printed_.back().rows;
    const std::string_view cells = macroblocks_of_row(line, rows.size());
    if (cells.empty()) {
        pass_on(&decoder_, AV_LOG_DEBUG, "%.*s\n", static_cast<int>(line.size()), line.data());
        end_picture();
        return;
    }
    rows.emplace_back(cells);
}

void MbTypeLog::end_picture() {
    in_picture_ = false;
    header_possible_ = false;
    line_.clear();
}

MbTypeRows MbTypeLog::take_rows_of_returned_picture() {
    if (!prints_types_) {
        return MbTypeRows{MbTypeRows::Status::NotPrintedByCodec, '?', {}};
    }
    end_picture();
    const int64_t returned = returned_picture_count(decoder_) - 1;
    while (!printed_.empty() && printed_.front().returned_before < returned) {
        printed_.pop_front();
    }
    if (printed_.empty() || printed_.front().returned_before != returned) {
        return MbTypeRows{MbTypeRows::Status::NotPrinted, '?', {}};
    }
    Picture& picture = printed_.front();
    MbTypeRows rows{MbTypeRows::Status::Captured, picture.picture_type, std::move(picture.rows)};
    printed_.pop_front();
    return rows;
}

void MbTypeLog::drop_picture_being_printed() {
    if (in_picture_) {
        printed_.pop_back();
    }
    end_picture();
}
