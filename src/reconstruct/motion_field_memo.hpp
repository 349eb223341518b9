#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "reconstruct/motion_field.hpp"

// The motion fields of the last few frames built, by frame, for the direct prediction of the
// B frames after them: a B frame's co-located picture is nearly always one of the few
// pictures decoded just before it, and finding its field here spares reading that picture's
// syntax again from its key packet and building its field once more. A field is kept and
// handed out without a copy, and the memory of one dropped is handed back for the next field
// built: fields of a megabyte and more, each fresh from the kernel, would cost more than
// building them. Safe to share between threads.
class MotionFieldMemo {
public:
    // The field of `frame`; null where it is not kept.
    std::shared_ptr<const PictureMotion> find(int32_t frame) const;

    // Keeps `field`, the motion field of `frame`, whose syntax is `syntax`, and gives it back
    // as kept (where another thread kept the frame first, as that one kept it).
    std::shared_ptr<const PictureMotion> keep(int32_t frame, const FrameSyntax& syntax,
                                              std::vector<MotionRecord> field);
    // The same of a field built at `blocks` (motion_field_blocks(syntax) records), which
    // outlives the memo: kept without a copy.
    std::shared_ptr<const PictureMotion> keep_built_at(int32_t frame, const FrameSyntax& syntax,
                                                       const MotionRecord* blocks);

    // A field no longer kept nor held by anyone, its motion stale, where there is one; else
    // an empty vector.
    std::vector<MotionRecord> reusable_storage();

private:
    // Beyond the references a B frame's list 1 can start with in the streams encoders make.
    static constexpr std::size_t kKept = 4;

    mutable std::mutex mutex_;
    struct Kept {
        int32_t frame;
        std::shared_ptr<PictureMotion> motion;
    };
    std::deque<Kept> kept_;
    // The entry of `frame`, or the end; under the lock.
    std::deque<Kept>::const_iterator kept(int32_t frame) const;
    std::shared_ptr<const PictureMotion> add(int32_t frame, std::shared_ptr<PictureMotion> motion);
    std::vector<MotionRecord> reusable_;
};
