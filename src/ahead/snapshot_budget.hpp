#pragma once

#include <cstddef>
#include <cstdint>

#include "ahead/ahead_unit.hpp"
#include "frame/frame_snapshot.hpp"

// What the snapshots decoded ahead and not yet taken may hold at most, on top of the frame
// cache: about 80 pictures of 1080p, 190 of 720p; thousands of snapshots without pixels.
constexpr std::size_t kReadAheadByteBudget = std::size_t{256} << 20;

// Frames beyond the caller's last request that the unit it is in may deliver whatever the
// budget holds: more than the decoder's reordering delay, so that the frame the caller
// waits for always finds room, and few enough to be small next to the budget.
constexpr int32_t kCallerUnitReach = 32;

// The budget a session's read-ahead holds its snapshots against: kReadAheadByteBudget, or the
// count of bytes in VEXMIRA_READ_AHEAD_BUDGET, which is there for tests that need the budget
// to bite on a few pictures; std::invalid_argument where that is not a count of bytes.
std::size_t session_read_ahead_budget();

// The bytes of the snapshots the read-ahead holds now and held at most so far, and its budget.
struct SnapshotBytes {
    std::size_t held;
    std::size_t peak;
    std::size_t budget;
};

// The bytes of the snapshots the read-ahead holds, against its budget. Not thread-safe: the
// read-ahead's lock guards it.
class SnapshotBudget {
public:
    explicit SnapshotBudget(std::size_t budget) : budget_(budget) {}

    // What a snapshot counts for: the snapshot itself and its planes.
    static std::size_t bytes_of(const FrameSnapshot& snapshot) { return sizeof(FrameSnapshot) + snapshot.byte_size(); }

    void hold(std::size_t bytes) {
        held_ += bytes;
        peak_ = held_ > peak_ ? held_ : peak_;
    }
    void release(std::size_t bytes) { held_ -= bytes; }

    // Whether the unit may deliver a snapshot of `bytes` for `frame` while the caller's last
    // request was `caller_frame`.
    bool has_room(const AheadUnit& unit, int32_t frame, std::size_t bytes, int32_t caller_frame) const {
        return held_ + bytes <= budget_ || (unit.contains(caller_frame) && frame <= caller_frame + kCallerUnitReach);
    }

    // Whether the unit's decoder waits for room that the caller's taking will not make.
    bool stalls(const AheadUnit& unit, int32_t caller_frame) const {
        return unit.waiting_for_room &&
               !has_room(unit, unit.waiting_for_room->first, unit.waiting_for_room->second, caller_frame);
    }

    SnapshotBytes bytes() const { return SnapshotBytes{held_, peak_, budget_}; }

private:
    const std::size_t budget_;
    std::size_t held_ = 0;
    std::size_t peak_ = 0;
};
