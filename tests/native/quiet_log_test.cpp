// Probes silence what FFmpeg logs on their own thread only: another thread's file, read
// meanwhile, keeps its messages, and FFmpeg's process-wide level is never touched.

#include <future>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "check.hpp"
#include "ffmpeg/ffmpeg_messages.hpp"
#include "ffmpeg/quiet_log.hpp"
#include "ffmpeg/video_input.hpp"

namespace {

std::vector<std::string> texts_of(const std::string& path) {
    std::vector<std::string> texts;
    for (const FfmpegMessage& message : take_ffmpeg_messages(path).messages) {
        if (message.path == path) {
            texts.push_back(message.text);
        }
    }
    return texts;
}

// One thread probes (silenced) while another logs an error of its own file.
void check_silence_is_the_probing_threads_own() {
    const std::string probed = "probed.mp4";
    const std::string other = "other.mp4";
    std::promise<void> probing;
    std::promise<void> other_logged;
    std::thread prober([&] {
        const MessageContext context(probed);
        const QuietFfmpegLog quiet;
        av_log(nullptr, AV_LOG_WARNING, "what a probe complains of\n");
        probing.set_value();
        other_logged.get_future().wait();
        av_log(nullptr, AV_LOG_ERROR, "more of it\n");
    });
    probing.get_future().wait();
    {
        const MessageContext context(other);
        av_log(nullptr, AV_LOG_ERROR, "what the other file says\n");
    }
    other_logged.set_value();
    prober.join();
    CHECK_EQ(texts_of(other), std::vector<std::string>{"what the other file says"});
    CHECK_EQ(texts_of(probed), std::vector<std::string>{});
}

void check_overlapping_openings_leave_the_level(const std::string& path) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&path] {
            for (int i = 0; i < 25; ++i) {
                VideoInput input(path, SessionOptions{});
                CHECK_EQ(av_log_get_level(), AV_LOG_WARNING);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: quiet_log_test VIDEO\n";
        return 2;
    }
    install_message_callback();
    av_log_set_level(AV_LOG_WARNING);
    check_silence_is_the_probing_threads_own();
    check_overlapping_openings_leave_the_level(argv[1]);
    return finish("quiet_log_test");
}
