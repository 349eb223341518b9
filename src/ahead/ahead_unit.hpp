#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "decode/interval_decoder.hpp"
#include "frame/frame_snapshot.hpp"

class SnapshotBudget;

struct NumberedSnapshot {
    int32_t frame;
    std::shared_ptr<FrameSnapshot> snapshot;
};

// One key-frame interval decoded ahead: the frames that decoding from its key packet gives
// (an open GOP's leading pictures with the interval they are decoded from), the snapshots
// that came out and the caller has not taken yet, and the hand-over of those to the caller.
// Apart from `frames` and `delivered`, which its decoder alone writes, everything is read and
// written under the read-ahead's lock.
struct AheadUnit {
    AheadUnit(int32_t number, int32_t first, int32_t end, int32_t start_packet, bool with_pixels);

    bool contains(int32_t frame) const { return frame >= first && frame - first < static_cast<int32_t>(frames.size()); }
    int32_t end() const { return first + static_cast<int32_t>(frames.size()); }
    IntervalFrames interval_frames() {
        return IntervalFrames{start_packet, frames.data(), delivered.data(), frames.size()};
    }

    // Keeps the snapshot of a frame that came out, its bytes (SnapshotBudget::bytes_of) held
    // against the budget.
    void admit(int32_t frame, std::shared_ptr<FrameSnapshot> snapshot, std::size_t bytes, SnapshotBudget& budget);
    // The frames up to `frame` leave the unit: the caller took that one and passed over the
    // others, whose snapshots go to `passed`.
    void hand_over(int32_t frame, SnapshotBudget& budget, std::vector<NumberedSnapshot>& passed);
    // Marks the unit abandoned and lets go of every snapshot it holds.
    void abandon(SnapshotBudget& budget);

    const int32_t number;
    const int32_t first;
    const int32_t start_packet;
    const bool with_pixels;
    // Written by the unit's decoder alone (IntervalDecoder's record of what it delivered).
    std::vector<int32_t> frames;
    std::vector<uint8_t> delivered;
    // What came out and was not taken yet.
    std::vector<std::shared_ptr<FrameSnapshot>> snapshots;
    // Where the caller's taking has reached: every slot before it is empty.
    std::size_t taken = 0;
    bool decoding = false;
    bool finished = false;
    // While the unit's decoder waits for room: the frame it waits to deliver, and its bytes.
    std::optional<std::pair<int32_t, std::size_t>> waiting_for_room;
    // Read by the decoder before every packet without the lock.
    std::atomic<bool> abandoned{false};
};
