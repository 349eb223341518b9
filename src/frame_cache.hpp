#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>

#include "frame/frame_snapshot.hpp"

// The frame cache holds the snapshots of the last 64 frames decoded. A file of a few
// kilobytes can declare pictures of 16000x16000, 384 MB each: 64 of them would take more
// memory than most machines have. Such pictures are cached fewer at a time.
constexpr std::size_t kFrameCacheCapacity = 64;
constexpr std::size_t kFrameCacheByteBudget = std::size_t{1} << 30;

// Snapshots by frame number, the oldest let go first. A snapshot without pixels answers
// requests for QP maps, offsets and facts only, so that the decoder gets its buffers back as
// soon as it has been read and keeps writing into the few that are still in the processor's
// caches; one with pixels answers every request. Not thread-safe: the session's lock guards it.
class FrameCache {
public:
    // The frame's snapshot, if it is cached with what the request needs; else null.
    std::shared_ptr<FrameSnapshot> find(int32_t frame, bool needs_pixels) const;

    // Keeps the snapshot unless the frame is cached with as much already; one with pixels
    // takes the place of one without.
    void insert(int32_t frame, std::shared_ptr<FrameSnapshot> snapshot);

private:
    void evict_oldest();

    std::map<int32_t, std::shared_ptr<FrameSnapshot>> frames_;
    std::deque<int32_t> order_;
    std::size_t bytes_ = 0;
};
