// The frame cache, seen through the identity of the snapshots get_frame hands out (a hit
// returns the very snapshot decoded before, a miss a newly built one) and through the
// session's count of seeks.
// Usage: frame_cache_test <clip of at least 100 frames, 3 B-frames, key frames 24 apart>

#include <cstring>
#include <memory>
#include <vector>

#include "check.hpp"
#include "h264_decoder_session.hpp"

namespace {

std::vector<uint8_t> luma(const FrameSnapshot& frame) {
    return std::vector<uint8_t>(frame.planes[0], frame.planes[0] + frame.plane_size(0));
}

bool same_picture(const FrameSnapshot& a, const FrameSnapshot& b) {
    return a.pts == b.pts && luma(a) == luma(b) && a.qp_map == b.qp_map;
}

void hit_returns_the_same_snapshot(const char* path) {
    H264DecoderSession session(path);
    const std::shared_ptr<FrameSnapshot> first = session.get_frame(10);
    CHECK(session.get_frame(10) == first);
    CHECK_EQ(first->pts, session.get_frame(10)->pts);
}

void cache_keeps_exactly_the_last_64_frames(const char* path) {
    H264DecoderSession session(path);
    std::vector<std::shared_ptr<FrameSnapshot>> returned;
    for (int32_t i = 0; i < 100; ++i) {
        returned.push_back(session.get_frame(i));
    }
    // Newest first: hits change nothing, so the check itself cannot evict anything.
    for (int32_t i = 99; i >= 36; --i) {
        CHECK_EQ(session.get_frame(i) == returned[i], true);
    }
    const std::shared_ptr<FrameSnapshot> again = session.get_frame(35);
    CHECK(again != returned[35]);
    CHECK(same_picture(*again, *returned[35]));
}

void eviction_is_first_in_first_out(const char* path) {
    // Asking for frame 0 after every other frame does not keep it in the cache.
    H264DecoderSession session(path);
    const std::shared_ptr<FrameSnapshot> first = session.get_frame(0);
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
    const std::shared_ptr<FrameSnapshot> held = session.get_frame(0);
    const std::vector<uint8_t> before = luma(*held);
    for (int32_t i = 1; i < 100; ++i) {
        session.get_frame(i);
    }
    CHECK(luma(*held) == before);
    CHECK_EQ(held.use_count(), 1);
}

// Requests frames first to last, one step at a time; returns the seeks they took.
int64_t sweep(H264DecoderSession& session, int32_t first, int32_t last) {
    const int64_t before = session.seek_count();
    const int32_t step = first <= last ? 1 : -1;
    for (int32_t i = first; i != last + step; i += step) {
        session.get_frame(i);
    }
    return session.seek_count() - before;
}

void scrub_of_a_fresh_session_never_seeks_again(const char* path) {
    H264DecoderSession session(path);
    session.get_frame(60);
    CHECK_EQ(session.seek_count(), 1);
    for (int round = 0; round < 3; ++round) {
        CHECK_EQ(sweep(session, 59, 50), 0);
        CHECK_EQ(sweep(session, 51, 70), 0);
        CHECK_EQ(sweep(session, 69, 60), 0);
    }
}

void reverse_pass_seeks_once_an_interval(const char* path) {
    // Key frames at 0, 24, 48, 72 and 96: each interval is decoded once, with every picture
    // in it, and serves the requests for all of its frames from the cache.
    H264DecoderSession session(path);
    CHECK_EQ(sweep(session, 99, 0), 5);
}

// Frames 72 to 95 lie in the interval of the key frame at 72.
void scrub_after_a_far_jump_never_seeks_again(const char* path) {
    H264DecoderSession session(path);
    session.get_frame(5);
    session.get_frame(84);
    CHECK_EQ(session.seek_count(), 2);
    CHECK_EQ(sweep(session, 83, 74), 0);
    CHECK_EQ(sweep(session, 75, 94), 0);
    CHECK_EQ(sweep(session, 93, 74), 0);
}

void far_jump_skips_what_lies_beyond_a_scrub(const char* path) {
    // Unreferenced pictures more than 16 frames before a far request are not decoded: the
    // first of them asked for seeks; from then on requests come close together and every
    // picture before them is decoded and cached.
    H264DecoderSession session(path);
    session.get_frame(5);
    session.get_frame(94);
    CHECK_EQ(sweep(session, 93, 78), 0);
    CHECK_EQ(sweep(session, 77, 72), 1);
    CHECK_EQ(sweep(session, 73, 95), 0);
}

void qp_only_snapshots_hold_no_pixels_until_pixels_are_asked_for(const char* path) {
    H264DecoderSession session(path);
    for (int32_t i = 0; i < 16; ++i) {
        const std::shared_ptr<FrameSnapshot> facts = session.get_frame(i, false);
        CHECK(!facts->has_pixels);
        CHECK(facts->picture == nullptr);
    }
    const std::shared_ptr<FrameSnapshot> facts = session.get_frame(10, false);
    const std::shared_ptr<FrameSnapshot> picture = session.get_frame(10);
    CHECK(picture->has_pixels);
    CHECK(picture->qp_map == facts->qp_map);
    CHECK(same_picture(*picture, *H264DecoderSession(path).get_frame(10)));
    // Once there, the picture serves later requests of either kind; it is not traded back,
    // not even when a request for QP maps alone decodes the frame once more on its way.
    CHECK(session.get_frame(10, false) == picture);
    session.get_frame(90, false);
    const int64_t seeks = session.seek_count();
    session.get_frame(18, false);
    CHECK_EQ(session.seek_count(), seeks + 1);
    CHECK(session.get_frame(10) == picture);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: frame_cache_test <clip of at least 100 frames, 3 B-frames, key frames 24 apart>\n";
        return 2;
    }
    hit_returns_the_same_snapshot(argv[1]);
    cache_keeps_exactly_the_last_64_frames(argv[1]);
    eviction_is_first_in_first_out(argv[1]);
    evicted_snapshot_stays_valid_for_its_holder(argv[1]);
    scrub_of_a_fresh_session_never_seeks_again(argv[1]);
    reverse_pass_seeks_once_an_interval(argv[1]);
    scrub_after_a_far_jump_never_seeks_again(argv[1]);
    far_jump_skips_what_lies_beyond_a_scrub(argv[1]);
    qp_only_snapshots_hold_no_pixels_until_pixels_are_asked_for(argv[1]);
    return finish("frame_cache_test");
}
