#include "reconstruct/motion_field_memo.hpp"

#include <algorithm>

bool MotionFieldMemo::find(int32_t frame, std::vector<MotionRecord>& field) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = std::find_if(kept_.begin(), kept_.end(), [frame](const auto& kept) { return kept.first == frame; });
    if (found == kept_.end()) {
        return false;
    }
    field = found->second;
    return true;
}

void MotionFieldMemo::keep(int32_t frame, const std::vector<MotionRecord>& field) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = std::find_if(kept_.begin(), kept_.end(), [frame](const auto& kept) { return kept.first == frame; });
    if (found != kept_.end()) {
        return;
    }
    if (kept_.size() == kKept) {
        kept_.pop_front();
    }
    kept_.emplace_back(frame, field);
}
