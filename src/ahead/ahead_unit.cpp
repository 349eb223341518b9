#include "ahead/ahead_unit.hpp"

#include <numeric>

#include "ahead/snapshot_budget.hpp"

AheadUnit::AheadUnit(int32_t number, int32_t first, int32_t end, int32_t start_packet, bool with_pixels)
    : number(number),
      first(first),
      start_packet(start_packet),
      with_pixels(with_pixels),
      frames(static_cast<std::size_t>(end - first)),
      delivered(frames.size(), 0),
      snapshots(frames.size()) {
    std::iota(frames.begin(), frames.end(), first);
}

void AheadUnit::admit(int32_t frame, std::shared_ptr<FrameSnapshot> snapshot, std::size_t bytes,
                      SnapshotBudget& budget) {
    budget.hold(bytes);
    snapshots[static_cast<std::size_t>(frame - first)] = std::move(snapshot);
}

void AheadUnit::hand_over(int32_t frame, SnapshotBudget& budget, std::vector<NumberedSnapshot>& passed) {
    const std::size_t slot = static_cast<std::size_t>(frame - first);
    for (; taken <= slot && taken < snapshots.size(); ++taken) {
        std::shared_ptr<FrameSnapshot>& snapshot = snapshots[taken];
        if (!snapshot) {
            continue;
        }
        budget.release(SnapshotBudget::bytes_of(*snapshot));
        if (taken < slot) {
            passed.push_back(NumberedSnapshot{first + static_cast<int32_t>(taken), std::move(snapshot)});
        }
        snapshot.reset();
    }
}

void AheadUnit::abandon(SnapshotBudget& budget) {
    abandoned = true;
    for (std::shared_ptr<FrameSnapshot>& snapshot : snapshots) {
        if (snapshot) {
            budget.release(SnapshotBudget::bytes_of(*snapshot));
            snapshot.reset();
        }
    }
}
