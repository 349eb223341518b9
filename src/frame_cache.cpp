#include "frame_cache.hpp"

#include <utility>

namespace {

bool has_what_is_needed(const FrameSnapshot& cached, bool needs_pixels) { return cached.has_pixels || !needs_pixels; }

}  // namespace

std::shared_ptr<FrameSnapshot> FrameCache::find(int32_t frame, bool needs_pixels) const {
    const auto hit = frames_.find(frame);
    if (hit == frames_.end() || !has_what_is_needed(*hit->second, needs_pixels)) {
        return nullptr;
    }
    return hit->second;
}

void FrameCache::insert(int32_t frame, std::shared_ptr<FrameSnapshot> snapshot) {
    if (const auto cached = frames_.find(frame); cached != frames_.end()) {
        if (!has_what_is_needed(*cached->second, snapshot->has_pixels)) {
            bytes_ = bytes_ - cached->second->byte_size() + snapshot->byte_size();
            cached->second = std::move(snapshot);
        }
        return;
    }
    while (!order_.empty() &&
           (frames_.size() >= kFrameCacheCapacity || bytes_ + snapshot->byte_size() > kFrameCacheByteBudget)) {
        evict_oldest();
    }
    bytes_ += snapshot->byte_size();
    frames_.emplace(frame, std::move(snapshot));
    order_.push_back(frame);
}

// A snapshot let go stays valid for whoever still holds it.
void FrameCache::evict_oldest() {
    const auto oldest = frames_.find(order_.front());
    bytes_ -= oldest->second->byte_size();
    frames_.erase(oldest);
    order_.pop_front();
}
