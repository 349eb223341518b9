#pragma once

#include <cstdint>

#include "frame_cache.hpp"

// Decides from the pattern of requests which of the pictures that no other picture references
// and that precede the requested frame are decoded on the way to it, for the cache.
//
// Those pictures pay only when later requests find them cached. While requests come close
// together, as in a pass backwards, those of the 64 frames before the requested one are
// decoded, as many as the cache holds. A request far from the one before decodes only those
// of the few frames just before it, enough for a scrub around it to find every frame cached
// or ahead, and otherwise the least work that produces its frame: the pictures it is
// predicted from and the frame itself. A session's first request has no pattern to go by
// and counts as close, since a first look at one place in a file is mostly followed by
// others around it.
class RequestPattern {
public:
    // Takes every request, hits included, before any decoding for it.
    void note_request(int32_t index, bool needs_pixels);

    // Whether the unreferenced picture of frame `picture`, which comes before `target`, is
    // worth decoding while decoding towards `target`.
    bool decodes_unreferenced_before(int32_t picture, int32_t target) const;

    // Whether the requests move forward, as a loop over the frames does: the last few that
    // moved at all each went a little way forward. Repeats of a frame (its QP map, then its
    // planes) neither count nor break the run.
    bool moves_forward() const;

    // Whether the pictures decoded for a request that wants no pixels are to keep theirs: the
    // caller asked for pixels a few requests ago, as a loop that reads each frame's QP map
    // and then its planes does, whose request for the planes would otherwise decode the
    // frame again, from its key frame.
    bool keeps_pixels() const;

private:
    int32_t previous_request_ = -1;
    // Requests since the last one that wanted pixels; -1 before any did.
    int32_t since_pixels_ = -1;
    bool close_together_ = true;
    int32_t forward_steps_ = 0;
};
