#pragma once

#include <cstdint>

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

// Whether running ahead pays on this machine right now. Without read-ahead the simple loop
// keeps one core busy; with it, the process should get clearly more than one core's worth
// of processor time while its decoders are busy. Where it gets less, other work (another
// process reading video, a Dask worker on every core, a batch) has the cores, and more
// decoders would only share them: the session decodes on the caller's thread alone for the
// next units, twice as many after each further sign, and then tries again. The caller's
// own work counts for the process, so a loop that spends its time on each frame in Python
// keeps its decoders ahead on the other cores.
class CoreGuard {
public:
    // A guard that never pauses serves a read-ahead sized by the caller.
    explicit CoreGuard(bool enabled);

    // After a decoder's unit: its busy seconds and the process's processor seconds meanwhile
    // (BusyTime), while the caller was in `caller_unit`.
    void record(double seconds, double processor_seconds, int32_t caller_unit);
    // Whether intervals may be decoded ahead while the caller is in this unit.
    bool allows(int32_t caller_unit) const { return caller_unit >= resume_unit_; }

private:
    const bool enabled_;
    double seconds_ = 0;
    double processor_seconds_ = 0;
    int32_t resume_unit_ = 0;
    int32_t pause_units_;
};
