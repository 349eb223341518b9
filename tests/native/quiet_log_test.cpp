// Probes silence FFmpeg's process-wide log level while they run; sessions opened on several
// threads at once must leave it as they found it.

#include <thread>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "check.hpp"
#include "ffmpeg/video_input.hpp"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: quiet_log_test VIDEO\n";
        return 2;
    }
    av_log_set_level(AV_LOG_WARNING);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([path = std::string(argv[1])] {
            for (int i = 0; i < 25; ++i) {
                VideoInput input(path, SessionOptions{});
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    CHECK_EQ(av_log_get_level(), AV_LOG_WARNING);
    return finish("quiet_log_test");
}
