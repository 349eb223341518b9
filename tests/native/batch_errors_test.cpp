// A batch whose sink fails on two workers: the error thrown is the one that came first,
// whichever worker ends last. Python-side sinks record failures instead of throwing, so only
// a native sink can show it.

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "batch/batch_decoding.hpp"
#include "check.hpp"
#include "h264_decoder_session.hpp"

namespace {

void first_error_wins(const std::string& path) {
    const H264DecoderSession session(path);
    const std::vector<int32_t>& starts = session.index()->interval_starts;
    CHECK(starts.size() >= 2);
    // The first frame of each of the first two intervals: two units, one per worker.
    const std::vector<int32_t> frames{starts[0], starts[1]};
    // The earlier unit's sink waits until the other worker is inside its own, so that both
    // fail: "first" at once, "second" 200 ms later.
    std::atomic<bool> second_entered{false};
    std::string thrown;
    try {
        decode_batch(session.index(), session.options(), frames, 2,
                     [&](const DecodedPicture& picture) {
                         if (picture.frame == starts[0]) {
                             for (int wait = 0; wait < 500 && !second_entered; ++wait) {
                                 std::this_thread::sleep_for(std::chrono::milliseconds(10));
                             }
                             throw std::runtime_error("first");
                         }
                         second_entered = true;
                         std::this_thread::sleep_for(std::chrono::milliseconds(200));
                         throw std::runtime_error("second");
                     },
                     false);
    } catch (const std::runtime_error& error) {
        thrown = error.what();
    }
    CHECK_EQ(thrown, std::string("first"));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: batch_errors_test VIDEO\n";
        return 2;
    }
    first_error_wins(argv[1]);
    return finish("batch_errors_test");
}
