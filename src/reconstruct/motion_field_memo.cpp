#include "reconstruct/motion_field_memo.hpp"

#include <algorithm>
#include <utility>

#include "reconstruct/macroblock_rows.hpp"

std::deque<MotionFieldMemo::Kept>::const_iterator MotionFieldMemo::kept(int32_t frame) const {
    return std::find_if(kept_.begin(), kept_.end(), [frame](const Kept& entry) { return entry.frame == frame; });
}

std::shared_ptr<const PictureMotion> MotionFieldMemo::find(int32_t frame) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = kept(frame);
    return found == kept_.end() ? nullptr : found->motion;
}

std::shared_ptr<const PictureMotion> MotionFieldMemo::keep(int32_t frame, const FrameSyntax& syntax,
                                                           std::vector<MotionRecord> field) {
    return add(frame, std::make_shared<PictureMotion>(std::move(field), field_macroblocks(syntax)));
}

std::shared_ptr<const PictureMotion> MotionFieldMemo::keep_built_at(int32_t frame, const FrameSyntax& syntax,
                                                                    const MotionRecord* blocks) {
    return add(frame, std::make_shared<PictureMotion>(blocks, motion_field_blocks(syntax), field_macroblocks(syntax)));
}

std::shared_ptr<const PictureMotion> MotionFieldMemo::add(int32_t frame, std::shared_ptr<PictureMotion> motion) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = kept(frame);
    if (found != kept_.end()) {
        return found->motion;
    }
    if (kept_.size() == kKept) {
        // Under the lock no one can take a field from the memo: a field the memo alone holds
        // stays unused.
        if (kept_.front().motion.use_count() == 1) {
            std::vector<MotionRecord> memory = kept_.front().motion->release();
            if (memory.capacity() > 0) {
                reusable_ = std::move(memory);
            }
        }
        kept_.pop_front();
    }
    kept_.push_back(Kept{frame, motion});
    return motion;
}

std::vector<MotionRecord> MotionFieldMemo::reusable_storage() {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::vector<MotionRecord> storage = std::move(reusable_);
    reusable_.clear();
    return storage;
}
