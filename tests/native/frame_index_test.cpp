// Frame numbering and seek points on packet tables that no encoder is easily talked into
// producing: missing timestamps, duplicates, negative times, streams that start mid-GOP.

#include <map>
#include <vector>

#include "check.hpp"
#include "index/frame_index.hpp"

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
        CHECK_EQ(index.frame_of_pts(i), i);
    }
    CHECK_EQ(index.frame_of_pts(7), -1);
    CHECK_EQ(index.frame_of_pts(-1), -1);
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
    CHECK_EQ(index.frame_of_pts(2), 2);
}

void negative_timestamps_come_first() {
    const FrameIndex index = build_frame_index(table({{-2, true}, {1, false}, {-1, false}, {0, false}}));
    CHECK_EQ(index.frame_pts, (std::vector<int64_t>{-2, -1, 0, 1}));
    CHECK_EQ(index.frame_of_pts(-2), 0);
    CHECK_EQ(index.frame_of_pts(1), 3);
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
    CHECK_EQ(index.frame_of_pts(0), -1);
}

// Bitstream numbering, on what the H.264 parser would read: (key, picture order count,
// structure) per packet in file order.
PictureOrder picture(bool is_key, int32_t poc, AVPictureStructure structure = AV_PICTURE_STRUCTURE_FRAME) {
    return PictureOrder{true, is_key, poc, structure};
}

void bitstream_order_restarts_at_every_key_picture() {
    // An IDR period with B-frames, a recovery point with two leading pictures, then an IDR
    // whose order counts start again at 0; a packet of parameter sets alone in between.
    const std::vector<int64_t> numbers = number_in_presentation_order(
        {picture(true, 0), picture(false, 6), picture(false, 2), picture(false, 4), PictureOrder{},
         picture(true, 12), picture(false, 8), picture(false, 10), picture(true, 0), picture(false, 2)});
    CHECK_EQ(numbers, (std::vector<int64_t>{0, 3, 1, 2, kNone, 6, 4, 5, 7, 8}));
}

void second_field_of_a_pair_makes_no_frame() {
    const std::vector<int64_t> numbers = number_in_presentation_order(
        {picture(true, 0, AV_PICTURE_STRUCTURE_TOP_FIELD), picture(false, 0, AV_PICTURE_STRUCTURE_BOTTOM_FIELD),
         picture(false, 4, AV_PICTURE_STRUCTURE_TOP_FIELD), picture(false, 4, AV_PICTURE_STRUCTURE_BOTTOM_FIELD),
         picture(false, 8, AV_PICTURE_STRUCTURE_BOTTOM_FIELD), picture(false, 8, AV_PICTURE_STRUCTURE_TOP_FIELD)});
    CHECK_EQ(numbers, (std::vector<int64_t>{0, kNone, 1, kNone, 2, kNone}));
}

void pictures_before_the_first_key_picture_are_never_shown() {
    // Cut after an IDR: two P pictures, then a recovery point whose leading picture (order
    // count 10) predicts from pictures that are gone, as the decoder sees it.
    const std::vector<int64_t> numbers = number_in_presentation_order(
        {picture(false, 4), picture(false, 8), picture(true, 12), picture(false, 10), picture(false, 14)});
    CHECK_EQ(numbers, (std::vector<int64_t>{kNone, kNone, 0, kNone, 1}));
    CHECK_EQ(number_in_presentation_order({picture(false, 0), picture(false, 2)}),
             (std::vector<int64_t>{kNone, kNone}));
}

}  // namespace

int main() {
    bitstream_order_restarts_at_every_key_picture();
    second_field_of_a_pair_makes_no_frame();
    pictures_before_the_first_key_picture_are_never_shown();
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
