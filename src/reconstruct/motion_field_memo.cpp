#include "reconstruct/motion_field_memo.hpp"

#include <algorithm>
#include <utility>

#include "reconstruct/macroblock_rows.hpp"

bool MotionFieldMemo::find(int32_t frame, std::vector<MotionRecord>& field,
                           std::vector<uint8_t>& field_macroblocks) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = std::find_if(kept_.begin(), kept_.end(), [frame](const Kept& kept) { return kept.frame == frame; });
    if (found == kept_.end()) {
        return false;
    }
    field = found->field;
    field_macroblocks = found->field_macroblocks;
    return true;
}

void MotionFieldMemo::keep(int32_t frame, const FrameSyntax& syntax, const std::vector<MotionRecord>& field) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = std::find_if(kept_.begin(), kept_.end(), [frame](const Kept& kept) { return kept.frame == frame; });
    if (found != kept_.end()) {
        return;
    }
    if (kept_.size() == kKept) {
        kept_.pop_front();
    }
    std::vector<uint8_t> field_macroblocks;
    if (is_mbaff_frame(syntax)) {
        for (const MbSyntaxRecord& mb : syntax.coded_records) {
            field_macroblocks.push_back(mb.interlaced);
        }
    }
    kept_.push_back(Kept{frame, field, std::move(field_macroblocks)});
}
