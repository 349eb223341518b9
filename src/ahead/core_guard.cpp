#include "ahead/core_guard.hpp"

#include <time.h>

#include <algorithm>

namespace {

// Processor time of the process per second of a decoder's busy time below which running
// ahead is judged not to pay: decoding on the caller's thread alone gives 1.
constexpr double kLeastCores = 1.4;
// Busy time gathered before judging: shorter units are judged together.
constexpr double kJudgedSeconds = 0.1;
constexpr int32_t kFirstPauseUnits = 2;
constexpr int32_t kLongestPauseUnits = 64;

double clock_seconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

}  // namespace

void BusyTime::start() {
    started_ = clock_seconds(CLOCK_MONOTONIC);
    started_processor_ = clock_seconds(CLOCK_PROCESS_CPUTIME_ID);
}

void BusyTime::stop() {
    seconds_ += clock_seconds(CLOCK_MONOTONIC) - started_;
    processor_seconds_ += clock_seconds(CLOCK_PROCESS_CPUTIME_ID) - started_processor_;
}

CoreGuard::CoreGuard(bool enabled) : enabled_(enabled), pause_units_(kFirstPauseUnits) {}

void CoreGuard::record(double seconds, double processor_seconds, int32_t caller_unit) {
    if (!enabled_) {
        return;
    }
    seconds_ += seconds;
    processor_seconds_ += processor_seconds;
    if (seconds_ < kJudgedSeconds) {
        return;
    }
    const bool pays = processor_seconds_ >= kLeastCores * seconds_;
    seconds_ = 0;
    processor_seconds_ = 0;
    if (pays) {
        pause_units_ = kFirstPauseUnits;
        return;
    }
    resume_unit_ = caller_unit + pause_units_;
    pause_units_ = std::min(2 * pause_units_, kLongestPauseUnits);
}
