// The frame cache, seen through the identity of the snapshots get_frame hands out: a hit
// returns the very snapshot decoded before, a miss a newly built one.
// Usage: frame_cache_test <clip of at least 100 frames>

#include <cstring>
#include <memory>
#include <vector>

#include "check.hpp"
#include "h264_decoder_session.hpp"

namespace {

std::vector<uint8_t> luma(const CachedFrame& frame) {
    return std::vector<uint8_t>(frame.planes[0], frame.planes[0] + frame.plane_size(0));
}

bool same_picture(const CachedFrame& a, const CachedFrame& b) {
    return a.pts == b.pts && luma(a) == luma(b) && a.qp_map == b.qp_map;
}

void hit_returns_the_same_snapshot(const char* path) {
    H264DecoderSession session(path);
    const std::shared_ptr<CachedFrame> first = session.get_frame(10);
    CHECK(session.get_frame(10) == first);
    CHECK_EQ(first->pts, session.get_frame(10)->pts);
}

void cache_keeps_exactly_the_last_64_frames(const char* path) {
    H264DecoderSession session(path);
    std::vector<std::shared_ptr<CachedFrame>> returned;
    for (int32_t i = 0; i < 100; ++i) {
        returned.push_back(session.get_frame(i));
    }
    // Newest first: hits change nothing, so the check itself cannot evict anything.
    for (int32_t i = 99; i >= 36; --i) {
        CHECK_EQ(session.get_frame(i) == returned[i], true);
    }
    const std::shared_ptr<CachedFrame> again = session.get_frame(35);
    CHECK(again != returned[35]);
    CHECK(same_picture(*again, *returned[35]));
}

void eviction_is_first_in_first_out(const char* path) {
    // Asking for frame 0 after every other frame does not keep it in the cache.
    H264DecoderSession session(path);
    const std::shared_ptr<CachedFrame> first = session.get_frame(0);
    int32_t evicted_after = -1;
    for (int32_t i = 1; i < 80 && evicted_after < 0; ++i) {
        session.get_frame(i);
        if (session.get_frame(0) != first) {
            evicted_after = i;
        }
    }
    CHECK(evicted_after >= 60);
    CHECK(evicted_after <= 64);
}

void evicted_snapshot_stays_valid_for_its_holder(const char* path) {
    H264DecoderSession session(path);
    const std::shared_ptr<CachedFrame> held = session.get_frame(0);
    const std::vector<uint8_t> before = luma(*held);
    for (int32_t i = 1; i < 100; ++i) {
        session.get_frame(i);
    }
    CHECK(luma(*held) == before);
    CHECK_EQ(held.use_count(), 1);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: frame_cache_test <clip of at least 100 frames>\n";
        return 2;
    }
    hit_returns_the_same_snapshot(argv[1]);
    cache_keeps_exactly_the_last_64_frames(argv[1]);
    eviction_is_first_in_first_out(argv[1]);
    evicted_snapshot_stays_valid_for_its_holder(argv[1]);
    return finish("frame_cache_test");
}
