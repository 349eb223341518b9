#include "ahead/core_guard.hpp"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <utility>

#include "system/usable_cores.hpp"

namespace {

// Processor time of the process per second of a decoder's busy time below which running
// ahead is judged not to pay: decoding on the caller's thread alone gives 1.
constexpr double kLeastCores = 1.4;
// Busy time gathered before judging: shorter units are judged together.
constexpr double kJudgedSeconds = 0.1;
// Idle processor time per second, over stretches of this length, that ends a pause: half a
// core is room for a decoder, and a stretch several scheduler ticks long is not a moment's
// gap between another process's frames.
constexpr double kIdleCoresToResume = 0.5;
constexpr double kIdleWindowSeconds = 0.2;
constexpr int32_t kFirstPauseUnits = 2;
constexpr int32_t kLongestPauseUnits = 64;

double clock_seconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

// The idle and I/O wait ticks of the processors in the affinity mask, in seconds; -1 where
// /proc/stat cannot be read.
double affinity_idle_seconds() {
    cpu_set_t allowed;
    if (!usable_core_set(allowed)) {
        return -1;
    }
    std::FILE* stat = std::fopen("/proc/stat", "r");
    if (!stat) {
        return -1;
    }
    unsigned long long ticks = 0;
    bool found = false;
    char line[512];
    while (std::fgets(line, sizeof(line), stat)) {
        int cpu = -1;
        unsigned long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0;
        // The per-processor lines, "cpuN user nice system idle iowait ...", follow the total,
        // "cpu  user ...", which %d would read past its spaces.
        if (std::strncmp(line, "cpu", 3) == 0 && std::isdigit(static_cast<unsigned char>(line[3])) &&
            std::sscanf(line, "cpu%d %llu %llu %llu %llu %llu", &cpu, &user, &nice, &system, &idle, &iowait) == 6 &&
            cpu >= 0 && cpu < CPU_SETSIZE && CPU_ISSET(cpu, &allowed)) {
            ticks += idle + iowait;
            found = true;
        }
    }
    std::fclose(stat);
    const long ticks_per_second = sysconf(_SC_CLK_TCK);
    return found && ticks_per_second > 0 ? static_cast<double>(ticks) / static_cast<double>(ticks_per_second) : -1;
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

MachineClock system_clock() {
    return MachineClock{[] { return clock_seconds(CLOCK_MONOTONIC); }, affinity_idle_seconds};
}

CoreGuard::CoreGuard(bool enabled, MachineClock clock)
    : enabled_(enabled), clock_(std::move(clock)), pause_units_(kFirstPauseUnits) {}

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
    pause(caller_unit);
}

void CoreGuard::pause(int32_t caller_unit) {
    paused_ = true;
    resume_unit_ = caller_unit + pause_units_;
    pause_units_ = std::min(2 * pause_units_, kLongestPauseUnits);
    window_start_ = clock_.now();
    window_idle_ = clock_.idle_seconds();
}

bool CoreGuard::allows(int32_t caller_unit) {
    if (paused_) {
        const bool known = window_idle_ >= 0;
        paused_ = known ? !idle_core_seen() : caller_unit < resume_unit_;
    }
    return !paused_;
}

// Whether the stretch just ended had an idle core; a stretch still too short to tell counts
// as none, and a new one begins after each that had none.
bool CoreGuard::idle_core_seen() {
    const double now = clock_.now();
    const double elapsed = now - window_start_;
    if (elapsed < kIdleWindowSeconds) {
        return false;
    }
    const double idle = clock_.idle_seconds();
    const bool seen = idle >= 0 && idle - window_idle_ >= kIdleCoresToResume * elapsed;
    window_start_ = now;
    window_idle_ = idle;
    return seen;
}
