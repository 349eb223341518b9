#pragma once

#include <functional>

// A batch's caller waits for its workers without holding anything of its own caller's (the
// bindings release Python's lock for the whole batch), so nothing would see Ctrl-C until the
// batch ends. While one of these lives on a thread, a batch that thread waits for asks its
// check every kInterruptPollMilliseconds; a check that throws ends the batch: the workers stop
// at their next packet and the batch throws what the check threw.
class InterruptCheck {
public:
    explicit InterruptCheck(std::function<void()> check);
    ~InterruptCheck();
    InterruptCheck(const InterruptCheck&) = delete;
    InterruptCheck& operator=(const InterruptCheck&) = delete;

    // Runs the check of this thread, if it has one.
    static void run_on_this_thread();

private:
    std::function<void()> check_;
    InterruptCheck* previous_;
};

inline constexpr int kInterruptPollMilliseconds = 100;
