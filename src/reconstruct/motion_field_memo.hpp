#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "reconstruct/motion_field.hpp"

// The motion fields of the last few frames built, by frame, for the direct prediction of the
// B frames after them: a B frame's co-located picture is nearly always one of the few
// pictures decoded just before it, and finding its field here spares reading that picture's
// syntax again from its key packet and building its field once more. Safe to share between
// threads.
class MotionFieldMemo {
public:
    // Copies the field of `frame` into `field`, and of an MBAFF frame whether each of its
    // macroblocks is a field macroblock into `field_macroblocks`; false where it is not kept.
    bool find(int32_t frame, std::vector<MotionRecord>& field, std::vector<uint8_t>& field_macroblocks) const;

    // Keeps the field of `frame`, whose syntax is `syntax`.
    void keep(int32_t frame, const FrameSyntax& syntax, const std::vector<MotionRecord>& field);

private:
    // Beyond the references a B frame's list 1 can start with in the streams encoders make.
    static constexpr std::size_t kKept = 4;

    mutable std::mutex mutex_;
    struct Kept {
        int32_t frame;
        std::vector<MotionRecord> field;
        std::vector<uint8_t> field_macroblocks;
    };
    std::deque<Kept> kept_;
};
