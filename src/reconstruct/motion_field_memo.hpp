#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

#include "reconstruct/motion_field.hpp"

// The motion fields of the last few frames built, by frame, for the direct prediction of the
// B frames after them: a B frame's co-located picture is nearly always one of the few
// pictures decoded just before it, and finding its field here spares reading that picture's
// syntax again from its key packet and building its field once more. Safe to share between
// threads.
class MotionFieldMemo {
public:
    // Copies the field of `frame` into `field`; false where it is not kept.
    bool find(int32_t frame, std::vector<MotionRecord>& field) const;

    void keep(int32_t frame, const std::vector<MotionRecord>& field);

private:
    // Beyond the references a B frame's list 1 can start with in the streams encoders make.
    static constexpr std::size_t kKept = 4;

    mutable std::mutex mutex_;
    std::deque<std::pair<int32_t, std::vector<MotionRecord>>> kept_;
};
