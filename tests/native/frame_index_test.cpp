// Frame numbering and seek points on packet tables that no encoder is easily talked into
// producing: missing timestamps, duplicates, negative times, streams that start mid-GOP.

#include <map>
#include <vector>

#include "check.hpp"
#include "frame_index.hpp"

namespace {

constexpr int64_t kNone = AV_NOPTS_VALUE;

struct Packet {
    int64_t pts;
    bool is_key;
};

std::vector<PacketInfo> table(const std::vector<Packet>& packets) {
    std::vector<PacketInfo> infos;
    for (const Packet& packet : packets) {
        const auto order = static_cast<int32_t>(infos.size());
        infos.push_back(PacketInfo{packet.pts, order, 1000 + 100 * order, 100, packet.is_key, order});
    }
    return infos;
}

void reordered_stream_is_numbered_by_presentation_time() {
    // Two GOPs; the second opens with leading pictures that precede its key packet.
    const FrameIndex index = build_frame_index(
        table({{0, true}, {3, false}, {1, false}, {2, false}, {6, true}, {4, false}, {5, false}}));
    CHECK_EQ(index.frame_pts, (std::vector<int64_t>{0, 1, 2, 3, 4, 5, 6}));
    CHECK_EQ(index.frame_seek_pts, (std::vector<int64_t>{0, 0, 0, 0, 6, 6, 6}));
    // Leading pictures 4 and 5 are decoded from the first key packet; frame 6 from its own.
    CHECK_EQ(index.frame_start_packet, (std::vector<int32_t>{0, 0, 0, 0, 0, 0, 4}));
    for (int32_t i = 0; i < 7; ++i) {
        CHECK_EQ(index.pts_to_index.at(i), i);
    }
    CHECK_EQ(index.pts_to_index.size(), 7u);
}

void stream_without_reordering_seeks_to_last_key_packet() {
    const FrameIndex index = build_frame_index(
        table({{10, true}, {20, false}, {30, false}, {40, true}, {50, false}}));
    CHECK_EQ(index.frame_seek_pts, (std::vector<int64_t>{10, 10, 10, 40, 40}));
    CHECK_EQ(index.frame_start_packet, (std::vector<int32_t>{0, 0, 0, 3, 3}));
}

void packets_before_first_key_refer_to_first_packet() {
    const FrameIndex index = build_frame_index(table({{5, false}, {6, false}, {7, true}, {8, false}}));
    CHECK_EQ(index.frame_seek_pts, (std::vector<int64_t>{5, 5, 7, 7}));
    CHECK_EQ(index.frame_start_packet, (std::vector<int32_t>{0, 0, 2, 2}));

    const FrameIndex untimed_start = build_frame_index(table({{kNone, false}, {6, false}, {7, true}}));
    CHECK_EQ(untimed_start.frame_pts, (std::vector<int64_t>{6, 7}));
    CHECK_EQ(untimed_start.frame_seek_pts, (std::vector<int64_t>{0, 7}));
}

void untimed_key_packet_makes_no_frame_but_starts_an_interval() {
    const FrameIndex index = build_frame_index(table({{0, true}, {1, false}, {kNone, true}, {3, false}, {4, false}}));
    CHECK_EQ(index.frame_pts, (std::vector<int64_t>{0, 1, 3, 4}));
    CHECK_EQ(index.frame_seek_pts, (std::vector<int64_t>{0, 0, kNone, kNone}));
    CHECK_EQ(index.frame_start_packet, (std::vector<int32_t>{0, 0, 2, 2}));
}

void repeated_timestamps_make_one_frame() {
    const FrameIndex index = build_frame_index(table({{0, true}, {1, false}, {1, false}, {2, false}}));
    CHECK_EQ(index.frame_pts, (std::vector<int64_t>{0, 1, 2}));
    CHECK_EQ(index.frame_seek_pts.size(), 3u);
    CHECK_EQ(index.pts_to_index.at(2), 2);
}

void negative_timestamps_come_first() {
    const FrameIndex index = build_frame_index(table({{-2, true}, {1, false}, {-1, false}, {0, false}}));
    CHECK_EQ(index.frame_pts, (std::vector<int64_t>{-2, -1, 0, 1}));
    CHECK_EQ(index.pts_to_index.at(-2), 0);
    CHECK_EQ(index.pts_to_index.at(1), 3);
}

void leading_pictures_of_first_interval_keep_their_key_packet() {
    // Nothing precedes the first key packet, so there is no earlier interval to start from.
    const FrameIndex index = build_frame_index(table({{2, true}, {0, false}, {1, false}, {3, false}}));
    CHECK_EQ(index.frame_pts, (std::vector<int64_t>{0, 1, 2, 3}));
    CHECK_EQ(index.frame_start_packet, (std::vector<int32_t>{0, 0, 0, 0}));
}

void stream_without_any_timestamp_has_no_frames() {
    const FrameIndex index = build_frame_index(table({{kNone, true}, {kNone, false}}));
    CHECK(index.frame_pts.empty());
    CHECK(index.pts_to_index.empty());
}

}  // namespace

int main() {
    reordered_stream_is_numbered_by_presentation_time();
    stream_without_reordering_seeks_to_last_key_packet();
    packets_before_first_key_refer_to_first_packet();
    untimed_key_packet_makes_no_frame_but_starts_an_interval();
    repeated_timestamps_make_one_frame();
    negative_timestamps_come_first();
    leading_pictures_of_first_interval_keep_their_key_packet();
    stream_without_any_timestamp_has_no_frames();
    return finish("frame_index_test");
}
