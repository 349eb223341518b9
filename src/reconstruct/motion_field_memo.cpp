#include "reconstruct/motion_field_memo.hpp"

#include <algorithm>

#include "reconstruct/macroblock_rows.hpp"

bool MotionFieldMemo::find(int32_t frame, std::vector<MotionRecord>& field,
                           std::vector<uint8_t>& field_macroblocks) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto is_frame = [frame](const Kept& kept) { return kept.frame == frame; };
    const auto found = std::find_if(kept_.begin(), kept_.end(), is_frame);
    if (found == kept_.end()) {
        return false;
    }
    field = found->field;
    field_macroblocks = found->field_macroblocks;
    return true;
}

void MotionFieldMemo::keep(int32_t frame, const FrameSyntax& syntax, const std::vector<MotionRecord>& field) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto is_frame = [frame](const Kept& kept) { return kept.frame == frame; };
    const auto found = std::find_if(kept_.begin(), kept_.end(), is_frame);
    if (found != kept_.end()) {
        return;
    }
    if (kept_.size() == kKept) {
        kept_.pop_front();
    }
    kept_.push_back(Kept{frame, field, field_macroblocks(syntax)});
}
