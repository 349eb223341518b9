// The read-ahead's rules, seen through the pictures it serves against those of a session that
// never reads ahead, through the count of frames it served and of the seeks of the caller's
// own decoder, and through the process's threads. The pictures themselves are checked
// against the ffmpeg tool's in tests/test_read_ahead.py.
// Usage: read_ahead_test <clip of 100 frames, key frames 24 apart> <clip of 120 frames, key frames 60 apart>
//                        <the same with one frame of the second interval that the decoder drops>
//                        <clip of 96 frames of 1920x1080 4:2:0, key frames 48 apart>

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "ahead/core_guard.hpp"
#include "ahead/read_ahead.hpp"
#include "cache_policy.hpp"
#include "check.hpp"
#include "h264_decoder_session.hpp"

namespace {

SessionOptions reading_ahead(int decoders) {
    SessionOptions options;
    options.read_ahead = decoders;
    return options;
}

bool same_picture(const FrameSnapshot& a, const FrameSnapshot& b) {
    if (a.pts != b.pts || a.qp_map != b.qp_map || a.has_pixels != b.has_pixels) {
        return false;
    }
    for (int plane = 0; a.has_pixels && plane < a.readable_planes(); ++plane) {
        const std::vector<uint8_t> left(a.planes[plane], a.planes[plane] + a.plane_size(plane));
        const std::vector<uint8_t> right(b.planes[plane], b.planes[plane] + b.plane_size(plane));
        if (left != right) {
            return false;
        }
    }
    return true;
}

int process_threads() {
    int threads = 0;
    DIR* tasks = opendir("/proc/self/task");
    while (const dirent* entry = readdir(tasks)) {
        threads += entry->d_name[0] != '.';
    }
    closedir(tasks);
    return threads;
}

// The thread count once it holds still for 50 ms (at most 2 s): a thread of an earlier check
// that is still on its way out is not counted as one of this process's own.
int settled_threads() {
    int count = process_threads();
    for (int steady = 0, tries = 0; steady < 5 && tries < 200; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const int now = process_threads();
        steady = now == count ? steady + 1 : 0;
        count = now;
    }
    return count;
}

// Frames `first` to `last` in turn, each with pixels or not; the frames whose snapshot
// differs from a session's that never reads ahead.
std::vector<int32_t> differing_frames(H264DecoderSession& session, const char* path, int32_t first, int32_t last,
                                      bool with_pixels) {
    H264DecoderSession plain(path, reading_ahead(0));
    std::vector<int32_t> differing;
    for (int32_t i = first; i <= last; ++i) {
        if (!same_picture(*session.get_frame(i, with_pixels), *plain.get_frame(i, with_pixels))) {
            differing.push_back(i);
        }
    }
    return differing;
}

// Key frames at 0, 24, 48, 72 and 96. The eighth forward step (frame 8) starts running ahead
// on the interval after the caller's; every later interval is then read ahead, and the
// caller's own decoder, which seeked once to begin, decodes the first interval alone.
void a_forward_loop_reads_every_later_interval_ahead(const char* path) {
    for (const bool with_pixels : {false, true}) {
        H264DecoderSession session(path, reading_ahead(1));
        CHECK_EQ(differing_frames(session, path, 0, 99, with_pixels), std::vector<int32_t>{});
        CHECK_EQ(session.frames_read_ahead(), 76);
        CHECK_EQ(session.seek_count(), 1);
    }
}

// Snapshots read ahead without pixels cannot serve a request for pixels: the caller decodes
// that interval itself, and the intervals after it are read ahead with pixels.
void pictures_after_qp_maps_read_ahead_with_pixels(const char* path) {
    H264DecoderSession session(path, reading_ahead(2));
    CHECK_EQ(differing_frames(session, path, 0, 49, false), std::vector<int32_t>{});
    CHECK_EQ(session.frames_read_ahead(), 26);
    CHECK_EQ(differing_frames(session, path, 50, 99, true), std::vector<int32_t>{});
    CHECK_EQ(session.frames_read_ahead(), 26 + 28);
    CHECK_EQ(session.seek_count(), 2);
}

// A jump back to an earlier interval that the cache has let go of ends running ahead: the
// caller's own decoder seeks there, and a forward loop from there starts running ahead again.
void a_jump_back_ends_running_ahead(const char* path) {
    H264DecoderSession session(path, reading_ahead(1));
    CHECK_EQ(differing_frames(session, path, 0, 80, true), std::vector<int32_t>{});
    CHECK_EQ(session.frames_read_ahead(), 57);
    CHECK_EQ(differing_frames(session, path, 5, 5, true), std::vector<int32_t>{});
    CHECK_EQ(session.seek_count(), 2);
    CHECK_EQ(session.frames_read_ahead(), 57);
    CHECK_EQ(differing_frames(session, path, 6, 99, true), std::vector<int32_t>{});
    CHECK(session.frames_read_ahead() > 57);
}

// Frames a loop with steps passes over, in the interval it is in and in the one it left, are
// cached as if decoded on the way: a step back to one needs no seek. The eighth step, to
// frame 24, starts running ahead from the third interval on.
void frames_passed_over_join_the_cache(const char* path) {
    H264DecoderSession session(path, reading_ahead(1));
    H264DecoderSession plain(path, reading_ahead(0));
    // Without a pause between requests: the decoders have no time to spare.
    std::vector<std::shared_ptr<FrameSnapshot>> got;
    for (int32_t i = 0; i < 100; i += 3) {
        got.push_back(session.get_frame(i));
    }
    for (int32_t i = 0; i < 100; i += 3) {
        CHECK(same_picture(*got[i / 3], *plain.get_frame(i)));
    }
    const int64_t seeks = session.seek_count();
    const int64_t served = session.frames_read_ahead();
    CHECK_EQ(served, 18);
    for (const int32_t passed_over : {98, 95, 94, 77, 76}) {
        CHECK(same_picture(*session.get_frame(passed_over), *plain.get_frame(passed_over)));
    }
    CHECK_EQ(session.seek_count(), seeks);
    CHECK_EQ(session.frames_read_ahead(), served);
}

// With no room at all, the interval the caller is in still delivers the frames just ahead of
// the caller's request, and nothing else: a loop, with steps or not, gets every frame.
void without_room_the_callers_interval_still_delivers(const char* path) {
    const H264DecoderSession session(path, reading_ahead(0));
    ReadAhead ahead(session.index(), reading_ahead(1), std::make_shared<PicturePool>(), 1);
    H264DecoderSession plain(path, reading_ahead(0));
    ahead.run_ahead_of(10, true);
    std::vector<int32_t> missing;
    for (int32_t i = 60; i < 120; i += i < 90 ? 1 : 7) {
        std::vector<NumberedSnapshot> passed;
        const std::shared_ptr<FrameSnapshot> frame = ahead.take(i, true, passed);
        if (!frame || !same_picture(*frame, *plain.get_frame(i))) {
            missing.push_back(i);
        }
        for (const NumberedSnapshot& other : passed) {
            CHECK(other.frame > 90 && other.frame < i);
            CHECK(same_picture(*other.snapshot, *plain.get_frame(other.frame)));
        }
    }
    CHECK_EQ(missing, std::vector<int32_t>{});
}

// What one snapshot with pixels holds at most, from the picture's size alone: 4:2:0 planes
// whose rows FFmpeg pads to at most 128 bytes (64 for chroma), the QP map, and the record.
std::size_t picture_bytes_at_most(const StreamFacts& facts) {
    const auto padded = [](int32_t bytes, int32_t to) { return static_cast<std::size_t>((bytes + to - 1) / to * to); };
    const std::size_t height = static_cast<std::size_t>(facts.height);
    return padded(facts.width, 128) * height + 2 * padded((facts.width + 1) / 2, 64) * ((height + 1) / 2) +
           static_cast<std::size_t>(facts.mb_cols) * static_cast<std::size_t>(facts.mb_rows) + 4096;
}

// The bytes the read-ahead holds once they hold still for 300 ms (at most 10 s): its decoder
// has gone as far as the budget lets it.
std::size_t settled_bytes(const ReadAhead& ahead) {
    std::size_t held = ahead.snapshot_bytes().held;
    for (int steady = 0, tries = 0; steady < 30 && tries < 1000; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const std::size_t now = ahead.snapshot_bytes().held;
        steady = now == held ? steady + 1 : 0;
        held = now;
    }
    return held;
}

// Key frames at 0 and 48, a budget of three pictures. The snapshots held stay within it but
// for the interval the caller is in, which may deliver up to 32 frames beyond the caller's
// last request, as docs/api.md promises: at most that many more pictures after each
// hand-over, one more (the frame the caller waits for) at any time. Pauses let the decoder go
// as far as it may. A jump back lets go of everything held.
void the_snapshots_held_stay_within_the_budget(const char* path) {
    const H264DecoderSession session(path, reading_ahead(0));
    CHECK_EQ(session.index()->interval_starts, (std::vector<int32_t>{0, 48}));
    const std::size_t picture = picture_bytes_at_most(session.facts());
    const std::size_t budget = 3 * picture;
    const std::size_t reach = 32 * picture;
    ReadAhead ahead(session.index(), reading_ahead(1), std::make_shared<PicturePool>(), budget);
    // The caller decodes the first interval itself, 16 frames before the second.
    ahead.run_ahead_of(32, true);
    const std::size_t filled = settled_bytes(ahead);
    CHECK(filled > budget / 2 && filled <= budget);
    std::vector<NumberedSnapshot> passed;
    std::size_t most = filled;
    for (int32_t i = 48; i <= 70; ++i) {
        CHECK(ahead.take(i, true, passed) != nullptr);
        const std::size_t held = i % 12 == 0 || i == 70 ? settled_bytes(ahead) : ahead.snapshot_bytes().held;
        CHECK(held <= budget + reach);
        most = std::max(most, held);
    }
    CHECK(passed.empty());
    const SnapshotBytes bytes = ahead.snapshot_bytes();
    CHECK(most > budget + reach / 2);
    CHECK(bytes.peak >= most && bytes.peak <= budget + reach + picture);
    CHECK(bytes.held > budget);
    CHECK(ahead.take(10, true, passed) == nullptr);
    CHECK_EQ(ahead.snapshot_bytes().held, std::size_t{0});
}

// Every frame's outcome on a session, a picture or the decoder's failure.
std::vector<std::shared_ptr<FrameSnapshot>> outcomes(H264DecoderSession& session) {
    std::vector<std::shared_ptr<FrameSnapshot>> frames;
    for (int32_t i = 0; i < session.num_frames(); ++i) {
        try {
            frames.push_back(session.get_frame(i, false));
        } catch (const std::runtime_error&) {
            frames.push_back(nullptr);
        }
    }
    return frames;
}

// A frame the decoder never outputs, in an interval read ahead with no room: its decoder goes
// on past the caller's reach and waits there, and the caller, waiting for the frame, sees
// that it will not come and leaves it to its own decoder. With room, the interval ends
// without it and the session raises for it as a session that never reads ahead does.
void a_frame_that_never_comes_is_not_waited_for(const char* path) {
    H264DecoderSession plain(path, reading_ahead(0));
    const std::vector<std::shared_ptr<FrameSnapshot>> expected = outcomes(plain);
    std::vector<int32_t> lost;
    for (int32_t i = 0; i < plain.num_frames(); ++i) {
        if (!expected[i]) {
            lost.push_back(i);
        }
    }
    const std::vector<int32_t>& starts = plain.index()->interval_starts;
    CHECK_EQ(lost.size(), std::size_t{1});
    CHECK_EQ(starts.size(), std::size_t{2});
    if (lost.size() != 1 || starts.size() != 2) {
        return;
    }
    CHECK(lost[0] > starts[1] && lost[0] + 40 < plain.num_frames());

    ReadAhead ahead(plain.index(), reading_ahead(1), std::make_shared<PicturePool>(), 1);
    ahead.run_ahead_of(10, false);
    std::vector<NumberedSnapshot> passed;
    for (int32_t i = starts[1]; i < lost[0]; ++i) {
        const std::shared_ptr<FrameSnapshot> frame = ahead.take(i, false, passed);
        CHECK(frame && same_picture(*frame, *expected[i]));
    }
    CHECK(ahead.take(lost[0], false, passed) == nullptr);

    H264DecoderSession session(path, reading_ahead(1));
    const std::vector<std::shared_ptr<FrameSnapshot>> got = outcomes(session);
    for (int32_t i = 0; i < session.num_frames(); ++i) {
        CHECK(got[i] ? expected[i] && same_picture(*got[i], *expected[i]) : !expected[i]);
    }
    CHECK(session.frames_read_ahead() > 0);
}

void threads_end_with_the_session(const char* path) {
    const int before = settled_threads();
    {
        H264DecoderSession session(path, reading_ahead(3));
        for (int32_t i = 0; i < 30; ++i) {
            session.get_frame(i);
        }
        CHECK_EQ(process_threads(), before + 4);
    }
    // A joined thread may stay listed a moment after it is joined, under load.
    CHECK_EQ(settled_threads(), before);
    // Decoders that wait for room the caller never makes end as well.
    {
        const H264DecoderSession session(path, reading_ahead(0));
        ReadAhead ahead(session.index(), reading_ahead(2), std::make_shared<PicturePool>(), 1);
        ahead.run_ahead_of(3, false);
        CHECK(process_threads() > before);
    }
    CHECK_EQ(settled_threads(), before);
}

void the_guard_pauses_until_a_core_is_idle(const char* /*path*/) {
    double now = 0;
    double idle = 0;
    CoreGuard guard(true, MachineClock{[&] { return now; }, [&] { return idle; }});
    CHECK(guard.allows(0));
    // Too short to judge alone, then judged with the next: one core's worth pauses.
    guard.record(0.05, 0.05, 3);
    CHECK(guard.allows(3));
    guard.record(0.06, 0.06, 3);
    CHECK(!guard.allows(3));
    // A third of a core idle keeps it paused, however far the caller goes; so does a stretch
    // too short to tell.
    now = 0.3;
    idle = 0.1;
    CHECK(!guard.allows(9));
    now = 0.35;
    idle = 0.3;
    CHECK(!guard.allows(9));
    // A core idle over the stretch since the last look ends the pause.
    now = 0.6;
    idle = 0.5;
    CHECK(guard.allows(9));
    guard.record(0.2, 0.4, 9);
    CHECK(guard.allows(9));

    // Where the system does not tell idle time, a pause lasts units, twice as many after each
    // further sign, and two cores' worth makes the next one short again.
    CoreGuard blind(true, MachineClock{[&] { return now; }, [] { return -1.0; }});
    blind.record(0.2, 0.2, 5);
    CHECK(!blind.allows(6));
    CHECK(blind.allows(7));
    blind.record(0.2, 0.2, 7);
    CHECK(!blind.allows(10));
    CHECK(blind.allows(11));
    blind.record(0.2, 0.4, 11);
    blind.record(0.2, 0.25, 11);
    CHECK(!blind.allows(12));
    CHECK(blind.allows(13));

    CoreGuard unguarded(false);
    unguarded.record(1.0, 0.1, 0);
    CHECK(unguarded.allows(0));

    // This machine's idle time is read, and never goes back.
    const MachineClock machine = system_clock();
    const double before = machine.idle_seconds();
    CHECK(before > 0);
    CHECK(machine.idle_seconds() >= before);
}

void a_loop_is_eight_forward_steps(const char* /*path*/) {
    RequestPattern pattern;
    for (int32_t i = 0; i < 8; ++i) {
        pattern.note_request(i, false);
    }
    CHECK(!pattern.moves_forward());
    pattern.note_request(8, false);
    CHECK(pattern.moves_forward());
    pattern.note_request(8, false);
    pattern.note_request(24, false);
    CHECK(pattern.moves_forward());
    pattern.note_request(41, false);
    CHECK(!pattern.moves_forward());
    for (int32_t i = 42; i < 50; ++i) {
        pattern.note_request(i, false);
    }
    CHECK(pattern.moves_forward());
    pattern.note_request(48, false);
    CHECK(!pattern.moves_forward());
}

void a_qp_map_after_pictures_keeps_pixels(const char* /*path*/) {
    // A loop of each frame's QP map, then its planes: the QP map's picture keeps its pixels
    // for the request that follows; a loop of QP maps alone never does.
    RequestPattern maps_then_planes;
    maps_then_planes.note_request(0, false);
    CHECK(!maps_then_planes.keeps_pixels());
    maps_then_planes.note_request(0, true);
    maps_then_planes.note_request(1, false);
    CHECK(maps_then_planes.keeps_pixels());
    RequestPattern maps_only;
    for (int32_t i = 0; i < 8; ++i) {
        maps_only.note_request(i, false);
    }
    CHECK(!maps_only.keeps_pixels());
    for (int32_t i = 0; i < 4; ++i) {
        maps_then_planes.note_request(2 + i, false);
    }
    CHECK(!maps_then_planes.keeps_pixels());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::cerr << "usage: read_ahead_test <clip of 100 frames, key frames 24 apart> "
                     "<clip of 120 frames, key frames 60 apart> <the same with one frame the decoder drops> "
                     "<clip of 96 frames of 1920x1080, key frames 48 apart>\n";
        return 2;
    }
    a_forward_loop_reads_every_later_interval_ahead(argv[1]);
    pictures_after_qp_maps_read_ahead_with_pixels(argv[1]);
    a_jump_back_ends_running_ahead(argv[1]);
    frames_passed_over_join_the_cache(argv[1]);
    without_room_the_callers_interval_still_delivers(argv[2]);
    a_frame_that_never_comes_is_not_waited_for(argv[3]);
    the_snapshots_held_stay_within_the_budget(argv[4]);
    threads_end_with_the_session(argv[1]);
    the_guard_pauses_until_a_core_is_idle(argv[1]);
    a_loop_is_eight_forward_steps(argv[1]);
    a_qp_map_after_pictures_keeps_pixels(argv[1]);
    return finish("read_ahead_test");
}
