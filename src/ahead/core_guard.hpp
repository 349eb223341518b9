#pragma once

#include <cstdint>
#include <functional>

// The wall time one read-ahead decoder was busy, in stretches between its waits for room,
// and the processor time the whole process used meanwhile. Started, stopped and read on one
// thread.
class BusyTime {
public:
    void start();
    void stop();

    double seconds() const { return seconds_; }
    double processor_seconds() const { return processor_seconds_; }

private:
    double started_ = 0;
    double started_processor_ = 0;
    double seconds_ = 0;
    double processor_seconds_ = 0;
};

// The clock and the idle time of the processors this process may run on, both in seconds;
// the idle time is negative where the system does not tell it.
struct MachineClock {
    std::function<double()> now;
    std::function<double()> idle_seconds;
};

// Linux's: the monotonic clock, and the idle and I/O wait times of /proc/stat over the
// processors in this process's affinity mask.
MachineClock system_clock();

// Whether running ahead pays on this machine right now. Without read-ahead the simple loop
// keeps one core busy; with it, the process should get clearly more than one core's worth
// of processor time while its decoders are busy. Where it gets less, other work (another
// process reading video, a Dask worker on every core, a batch) has the cores, and more
// decoders would only share them: the session decodes on the caller's thread alone until a
// core is seen idle, which happens when that other work ends. Where the system does not tell
// idle time, the pause lasts the next units instead, twice as many after each further sign.
// The caller's own work counts for the process, so a loop that spends its time on each
// frame in Python keeps its decoders ahead on the other cores.
//
// Under a processor quota (a container's CPU limit) the idle cores seen are the host's:
// there each pause ends as soon as the host has room, and the guard keeps judging after
// every unit.
class CoreGuard {
public:
    // A guard that never pauses serves a read-ahead sized by the caller.
    explicit CoreGuard(bool enabled, MachineClock clock = system_clock());

    // After a decoder's unit: its busy seconds and the process's processor seconds meanwhile
    // (BusyTime), while the caller was in `caller_unit`.
    void record(double seconds, double processor_seconds, int32_t caller_unit);
    // Whether intervals may be decoded ahead while the caller is in this unit.
    bool allows(int32_t caller_unit);

private:
    void pause(int32_t caller_unit);
    bool idle_core_seen();

    const bool enabled_;
    const MachineClock clock_;
    double seconds_ = 0;
    double processor_seconds_ = 0;
    bool paused_ = false;
    int32_t resume_unit_ = 0;
    int32_t pause_units_;
    // The stretch over which idle time is being measured while paused: when it began, and the
    // idle seconds then.
    double window_start_ = 0;
    double window_idle_ = -1;
};
