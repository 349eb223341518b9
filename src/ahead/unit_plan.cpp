#include "ahead/unit_plan.hpp"

#include <algorithm>
#include <utility>
#include <vector>

UnitPlan::UnitPlan(std::shared_ptr<const StreamIndex> index, int decoders)
    : index_(std::move(index)), decoders_(decoders) {}

int32_t UnitPlan::unit_of(int32_t frame) const {
    const std::vector<int32_t>& starts = index_->interval_starts;
    return static_cast<int32_t>(std::upper_bound(starts.begin(), starts.end(), frame) - starts.begin()) - 1;
}

void UnitPlan::note_request(int32_t frame, bool needs_pixels) {
    if (needs_pixels) {
        pixels_unit_ = unit_of(frame);
    }
}

bool UnitPlan::pixels_wanted(int32_t caller_frame) const {
    return pixels_unit_ >= 0 && pixels_unit_ >= unit_of(caller_frame) - 1;
}

bool UnitPlan::extend(int32_t caller_frame) {
    // The caller's own decoder counts as one while the caller is in an unplanned unit.
    const bool caller_in_planned = !planned_.empty() && planned_.front()->contains(caller_frame);
    const std::size_t limit = static_cast<std::size_t>(decoders_) + (caller_in_planned ? 1 : 0);
    int32_t next = planned_.empty() ? unit_of(caller_frame) + 1 : planned_.back()->number + 1;
    const bool with_pixels = pixels_wanted(caller_frame);
    bool planned_more = false;
    for (; planned_.size() < limit && next < unit_count(); ++next) {
        planned_.push_back(make_unit(next, with_pixels));
        planned_more = true;
    }
    return planned_more;
}

std::shared_ptr<AheadUnit> UnitPlan::make_unit(int32_t number, bool with_pixels) const {
    const std::vector<int32_t>& starts = index_->interval_starts;
    const int32_t first = starts[number];
    const int32_t end = number + 1 < unit_count() ? starts[number + 1] : index_->num_frames();
    return std::make_shared<AheadUnit>(number, first, end, index_->frames.frame_start_packet[first], with_pixels);
}
