#include "batch/worker_pool.hpp"

#include "batch/interruption.hpp"

void FirstError::record(std::exception_ptr error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!error_) {
        error_ = std::move(error);
    }
    stopped_.store(true);
}

void FirstError::rethrow() const {
    if (error_) {
        std::rethrow_exception(error_);
    }
}

void WorkersDone::count_down() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--left_ == 0) {
        all_done_.notify_all();
    }
}

bool WorkersDone::wait_for(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return all_done_.wait_for(lock, timeout, [this] { return left_ == 0; });
}

void wait_for_workers(WorkersDone& done, FirstError& error) {
    while (!done.wait_for(std::chrono::milliseconds(kInterruptPollMilliseconds))) {
        if (error.stopped()) {
            continue;
        }
        try {
            InterruptCheck::run_on_this_thread();
        } catch (...) {
            error.record(std::current_exception());
        }
    }
}
