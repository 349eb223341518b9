#include "cache_policy.hpp"

namespace {

// A scrub steps a frame or a few at a time. Random picks over a file of a few hundred
// frames fall this close to each other rarely enough that the pictures decoded for
// them cost little in all.
constexpr int32_t kCloseRequestDistance = 16;
// How far back from a far request a scrub around it reaches without seeking. Half of these
// frames are unreferenced pictures in a typical stream with B-frames, the cheapest ones
// to decode.
constexpr int32_t kScrubReach = 16;
// Forward steps in a row that make a loop over the frames: more than a scrub's short sweeps
// in one direction mostly take.
constexpr int32_t kForwardSteps = 8;
// Requests for QP maps alone after the last one for pixels that still keep pictures: a loop
// that asks for a frame's QP map and then its planes alternates.
constexpr int32_t kPixelRequestMemory = 4;

}  // namespace

void RequestPattern::note_request(int32_t index, bool needs_pixels) {
    if (needs_pixels) {
        since_pixels_ = 0;
    } else if (since_pixels_ >= 0 && since_pixels_ < kPixelRequestMemory) {
        ++since_pixels_;
    }
    if (previous_request_ >= 0) {
        const int32_t distance = index > previous_request_ ? index - previous_request_ : previous_request_ - index;
        close_together_ = distance <= kCloseRequestDistance;
        if (distance > 0) {
            forward_steps_ = index > previous_request_ && close_together_ ? forward_steps_ + 1 : 0;
        }
    }
    previous_request_ = index;
}

bool RequestPattern::moves_forward() const { return forward_steps_ >= kForwardSteps; }

bool RequestPattern::keeps_pixels() const { return since_pixels_ >= 0 && since_pixels_ < kPixelRequestMemory; }

bool RequestPattern::decodes_unreferenced_before(int32_t picture, int32_t target) const {
    // Further back than the cache's capacity, the cache would have let go of the picture by
    // the time the target comes out.
    const int32_t reach = close_together_ ? static_cast<int32_t>(kFrameCacheCapacity) : kScrubReach;
    return picture >= target - reach;
}
