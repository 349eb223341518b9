#include "batch/interruption.hpp"

#include <utility>

namespace {

thread_local InterruptCheck* current = nullptr;

}  // namespace

InterruptCheck::InterruptCheck(std::function<void()> check) : check_(std::move(check)), previous_(current) {
    current = this;
}

InterruptCheck::~InterruptCheck() { current = previous_; }

void InterruptCheck::run_on_this_thread() {
    if (current && current->check_) {
        current->check_();
    }
}
