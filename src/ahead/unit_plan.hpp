#pragma once

#include <cstdint>
#include <deque>
#include <memory>

#include "ahead/ahead_unit.hpp"
#include "index/stream_index.hpp"

// Which key-frame intervals (units) are decoded ahead of the caller: in frame order, from the
// one after the caller's, `decoders` of them beyond the one the caller is in, with pixels
// while the caller asks for pixels. Not thread-safe: the read-ahead's lock guards it.
class UnitPlan {
public:
    UnitPlan(std::shared_ptr<const StreamIndex> index, int decoders);

    // The unit the frame lies in.
    int32_t unit_of(int32_t frame) const;

    // Takes every request the frame cache did not serve.
    void note_request(int32_t frame, bool needs_pixels);
    // Whether units planned now keep their pixels: while the caller asked for pixels in its
    // unit or the one before, as a loop that reads pictures does; one that has gone on to QP
    // maps alone sheds them.
    bool pixels_wanted(int32_t caller_frame) const;
    // Snapshots without pixels serve requests for QP maps and facts only.
    static bool serves(const AheadUnit& unit, bool needs_pixels) { return unit.with_pixels || !needs_pixels; }

    // Plans units after the last one planned, or after the caller's, up to the limit; whether
    // it planned any.
    bool extend(int32_t caller_frame);

    // The planned units, from the caller's on, at most `decoders` + 1.
    std::deque<std::shared_ptr<AheadUnit>>& units() { return planned_; }

private:
    int32_t unit_count() const { return static_cast<int32_t>(index_->interval_starts.size()); }
    std::shared_ptr<AheadUnit> make_unit(int32_t number, bool with_pixels) const;

    const std::shared_ptr<const StreamIndex> index_;
    const int decoders_;
    std::deque<std::shared_ptr<AheadUnit>> planned_;
    // The unit of the caller's last request for pixels, -1 before the first.
    int32_t pixels_unit_ = -1;
};
