#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

// What the batches' workers share: threads joined however the batch is left, the first error
// of any of them, and a count of those still running that the caller waits on while it asks
// its interrupt check.

// Threads that are all joined when the pool goes out of scope, however it is left.
class JoinedThreads {
public:
    JoinedThreads() = default;
    ~JoinedThreads() {
        for (std::thread& thread : threads_) {
            thread.join();
        }
    }
    JoinedThreads(const JoinedThreads&) = delete;
    JoinedThreads& operator=(const JoinedThreads&) = delete;

    template <typename Work>
    void start(Work work) {
        threads_.emplace_back(std::move(work));
    }

private:
    std::vector<std::thread> threads_;
};

// The first failure of any worker, kept until every thread has ended; once one is recorded
// the others stop at their next unit of work.
class FirstError {
public:
    void record(std::exception_ptr error);
    bool stopped() const { return stopped_.load(); }
    void rethrow() const;

private:
    std::mutex mutex_;
    std::exception_ptr error_;
    std::atomic<bool> stopped_{false};
};

// Counts the workers that have ended, for the thread that waits for them.
class WorkersDone {
public:
    explicit WorkersDone(std::size_t workers) : left_(workers) {}
    void count_down();
    bool wait_for(std::chrono::milliseconds timeout);

private:
    std::mutex mutex_;
    std::condition_variable all_done_;
    std::size_t left_;
};

// Waits for the workers, asking the caller's interrupt check (batch/interruption.hpp) every
// kInterruptPollMilliseconds; what it throws stops the batch as a worker's error does.
void wait_for_workers(WorkersDone& done, FirstError& error);
