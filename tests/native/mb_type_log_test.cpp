// The rules of MbTypeLog that no clip exercises on one FFmpeg release: both forms in which
// releases print the rows (5.1 one character per call; 7.1, 8.1 and 9.0 one row per call after
// a line of column positions), messages of another context or another thread, a debug line
// after the rows, and a picture printed and then dropped. The messages are made with av_log,
// as ff_print_debug_info2 makes them, so that they pass through FFmpeg's own log path.
// Usage: mb_type_log_test

#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include "check.hpp"
#include "ffmpeg/handles.hpp"
#include "ffmpeg/mb_type_log.hpp"

namespace {

using Rows = std::vector<std::string>;

CodecContextHandle h264_context() {
    return CodecContextHandle(avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_H264)));
}

// What avcodec_receive_frame does to the count when it returns a picture.
void return_picture(AVCodecContext& decoder) {
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(60, 2, 100)
    ++decoder.frame_num;
#else
    ++decoder.frame_number;
#endif
}

void print_as_5_1(AVCodecContext& decoder, char type, const Rows& rows) {
    av_log(&decoder, AV_LOG_DEBUG, "New frame, type: %c\n", type);
    for (const std::string& row : rows) {
        for (const char c : row) {
            const char one[2] = {c, '\0'};
            av_log(&decoder, AV_LOG_DEBUG, "%s", one);
        }
        av_log(&decoder, AV_LOG_DEBUG, "\n");
    }
}

void print_as_7_1(AVCodecContext& decoder, char type, const Rows& rows, int margin) {
    av_log(&decoder, AV_LOG_DEBUG, "New frame, type: %c\n", type);
    av_log(&decoder, AV_LOG_DEBUG, "%s\n", (std::string(static_cast<std::size_t>(margin), ' ') + "0           64").c_str());
    for (std::size_t y = 0; y < rows.size(); ++y) {
        const std::string position = std::to_string(16 * y);
        const std::string padding(position.size() < static_cast<std::size_t>(margin - 1)
                                      ? static_cast<std::size_t>(margin - 1) - position.size()
                                      : 0,
                                  ' ');
        av_log(&decoder, AV_LOG_DEBUG, "%s\n", (padding + position + " " + rows[y]).c_str());
    }
}

MbTypeRows returned(MbTypeLog& log, AVCodecContext& decoder) {
    return_picture(decoder);
    return log.take_rows_of_returned_picture();
}

const Rows kRows = {">+ S  X| ", "i  I  d ="};
// Ten rows in a picture four macroblocks wide: the row positions outgrow the margin.
const Rows kTall(10, "S  >- <  D+ ");

void both_forms_are_read() {
    CodecContextHandle decoder = h264_context();
    MbTypeLog log(*decoder);
    const MbTypeLog::Listening listening(&log);
    print_as_5_1(*decoder, 'P', kRows);
    MbTypeRows first = returned(log, *decoder);
    CHECK(first.status == MbTypeRows::Status::Captured);
    CHECK_EQ(first.picture_type, 'P');
    CHECK_EQ(first.rows, kRows);
    print_as_7_1(*decoder, 'B', kRows, 3);
    MbTypeRows second = returned(log, *decoder);
    CHECK(second.status == MbTypeRows::Status::Captured);
    CHECK_EQ(second.picture_type, 'B');
    CHECK_EQ(second.rows, kRows);
    print_as_7_1(*decoder, 'B', kTall, 3);
    CHECK_EQ(returned(log, *decoder).rows, kTall);
}

void other_contexts_and_threads_are_not_heard() {
    CodecContextHandle decoder = h264_context();
    CodecContextHandle other = h264_context();
    MbTypeLog log(*decoder);
    {
        const MbTypeLog::Listening listening(&log);
        print_as_5_1(*other, 'P', kRows);
        CHECK(returned(log, *decoder).status == MbTypeRows::Status::NotPrinted);
        std::thread elsewhere([&] { print_as_7_1(*decoder, 'P', kRows, 3); });
        elsewhere.join();
        CHECK(returned(log, *decoder).status == MbTypeRows::Status::NotPrinted);
    }
    print_as_5_1(*decoder, 'P', kRows);
    CHECK(returned(log, *decoder).status == MbTypeRows::Status::NotPrinted);
}

void a_line_after_the_rows_ends_the_picture() {
    CodecContextHandle decoder = h264_context();
    MbTypeLog log(*decoder);
    const MbTypeLog::Listening listening(&log);
    print_as_7_1(*decoder, 'I', {"i  i  "}, 3);
    av_log(decoder.get(), AV_LOG_DEBUG, "%s\n", "i  was the last row");
    av_log(decoder.get(), AV_LOG_DEBUG, "%s\n", "i  i  ");
    CHECK_EQ(returned(log, *decoder).rows, Rows{"i  i  "});
}

void a_picture_dropped_after_printing_gives_way_to_the_next() {
    CodecContextHandle decoder = h264_context();
    MbTypeLog log(*decoder);
    const MbTypeLog::Listening listening(&log);
    print_as_5_1(*decoder, 'B', {"d  d  "});
    print_as_5_1(*decoder, 'P', kRows);
    MbTypeRows kept = returned(log, *decoder);
    CHECK_EQ(kept.picture_type, 'P');
    CHECK_EQ(kept.rows, kRows);
}

void other_codecs_print_nothing() {
    CodecContextHandle decoder(avcodec_alloc_context3(nullptr));
    MbTypeLog log(*decoder);
    CHECK(returned(log, *decoder).status == MbTypeRows::Status::NotPrintedByCodec);
}

}  // namespace

int main() {
    both_forms_are_read();
    other_contexts_and_threads_are_not_heard();
    a_line_after_the_rows_ends_the_picture();
    a_picture_dropped_after_printing_gives_way_to_the_next();
    other_codecs_print_nothing();
    return finish("mb_type_log_test");
}
