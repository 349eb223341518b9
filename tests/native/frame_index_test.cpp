// Frame numbering and seek points on packet tables that no encoder is easily talked into
// producing: missing timestamps, duplicates, negative times, streams that start mid-GOP.

#include <map>
#include <vector>

#include "check.hpp"
#include "index/frame_index.hpp"
#include "index/frame_numbering.hpp"

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
        PacketInfo info{packet.pts, order, packet.pts, 1000 + 100 * order, 100, packet.is_key, order};
        info.frame_pts = packet.pts;
        infos.push_back(info);
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
    PictureOrder order;
    order.has_picture = true;
    order.idr = is_key;
    order.poc = poc;
    order.structure = structure;
    return order;
}

PictureOrder resetting(int32_t poc) {
    PictureOrder order = picture(false, poc);
    order.memory_reset = true;
    return order;
}

std::vector<int64_t> in_output_order(const std::vector<PictureOrder>& pictures, int32_t first_output,
                                     std::vector<bool> shown = {}) {
    if (shown.empty()) {
        shown.assign(pictures.size(), true);
    }
    return number_in_output_order(pictures, shown, first_output);
}

void bitstream_order_restarts_at_every_idr_picture() {
    // An IDR period with B-frames, a recovery point (its order counts go on) with two leading
    // pictures, then an IDR picture whose counts start again at 0; a packet of parameter sets
    // alone in between.
    const std::vector<int64_t> numbers = in_output_order(
        {picture(true, 0), picture(false, 6), picture(false, 2), picture(false, 4), PictureOrder{},
         picture(false, 12), picture(false, 8), picture(false, 10), picture(true, 0), picture(false, 2)},
        0);
    CHECK_EQ(numbers, (std::vector<int64_t>{0, 3, 1, 2, kNone, 6, 4, 5, 7, 8}));
}

void second_field_of_a_pair_makes_no_frame() {
    const std::vector<int64_t> numbers = in_output_order(
        {picture(true, 0, AV_PICTURE_STRUCTURE_TOP_FIELD), picture(false, 0, AV_PICTURE_STRUCTURE_BOTTOM_FIELD),
         picture(false, 4, AV_PICTURE_STRUCTURE_TOP_FIELD), picture(false, 4, AV_PICTURE_STRUCTURE_BOTTOM_FIELD),
         picture(false, 8, AV_PICTURE_STRUCTURE_BOTTOM_FIELD), picture(false, 8, AV_PICTURE_STRUCTURE_TOP_FIELD)},
        0);
    CHECK_EQ(numbers, (std::vector<int64_t>{0, kNone, 1, kNone, 2, kNone}));
}

void pictures_output_before_the_first_output_are_never_shown() {
    // Cut after an IDR: two P pictures, then a recovery point whose leading picture (order
    // count 10) predicts from pictures that are gone; the decoder outputs the recovery point
    // first, and nothing it would have output before.
    const std::vector<PictureOrder> cut{picture(false, 4), picture(false, 8), picture(false, 12), picture(false, 10),
                                        picture(false, 14)};
    CHECK_EQ(in_output_order(cut, 2), (std::vector<int64_t>{kNone, kNone, 0, kNone, 1}));
    // A recovery point that names a later picture: the decoder outputs from that one on.
    CHECK_EQ(in_output_order(cut, 4), (std::vector<int64_t>{kNone, kNone, kNone, kNone, 0}));
    // A decoder that outputs nothing shows no frame.
    CHECK_EQ(in_output_order({picture(false, 0), picture(false, 2)}, -1), (std::vector<int64_t>{kNone, kNone}));
}

void a_memory_reset_begins_two_groups() {
    // P pictures whose order counts start again after the third resets the memory: FFmpeg
    // outputs the pictures after the resetting one after it, whatever the counts say.
    const std::vector<int64_t> numbers =
        in_output_order({picture(true, 0), picture(false, 2), resetting(4), picture(false, 2), picture(false, 4)}, 0);
    CHECK_EQ(numbers, (std::vector<int64_t>{0, 1, 2, 3, 4}));
    const std::vector<int64_t> early_reset =
        in_output_order({picture(true, 0), resetting(40), picture(false, 2), picture(false, 4)}, 0);
    CHECK_EQ(early_reset, (std::vector<int64_t>{0, 1, 2, 3}));
}

void discarded_pictures_are_decoded_but_not_numbered() {
    const std::vector<int64_t> numbers = in_output_order(
        {picture(true, 0), picture(false, 4), picture(false, 2), picture(false, 6)}, 0, {true, false, false, true});
    CHECK_EQ(numbers, (std::vector<int64_t>{0, kNone, kNone, 1}));
}

void timestamps_that_start_again_number_from_the_bitstream() {
    // Two recordings joined: the decoding timestamps go back where the second begins.
    std::vector<PacketInfo> joined = table({{0, true}, {1, false}, {0, true}, {1, false}});
    joined[2].dts = 0;
    joined[3].dts = 1;
    const std::vector<PictureOrder> pictures{picture(true, 0), picture(false, 2), picture(true, 0), picture(false, 2)};
    CHECK(number_frames(joined, pictures, 0));
    CHECK_EQ(build_frame_index(joined).frame_pts, (std::vector<int64_t>{0, 1, 2, 3}));

    std::vector<PacketInfo> sound = table({{0, true}, {2, false}, {1, false}, {3, false}});
    CHECK(!number_frames(sound, {picture(true, 0), picture(false, 4), picture(false, 2), picture(false, 6)}, 0));
    CHECK_EQ(build_frame_index(sound).frame_pts, (std::vector<int64_t>{0, 1, 2, 3}));
}

void timestamped_second_fields_and_withheld_pictures_make_no_frame() {
    std::vector<PacketInfo> packets = table({{0, false}, {1, false}, {2, true}, {3, false}, {4, false}, {5, false}});
    const std::vector<PictureOrder> pictures{picture(false, 0), picture(false, 2),
                                             picture(true, 4, AV_PICTURE_STRUCTURE_TOP_FIELD),
                                             picture(false, 4, AV_PICTURE_STRUCTURE_BOTTOM_FIELD),
                                             picture(false, 8, AV_PICTURE_STRUCTURE_TOP_FIELD),
                                             picture(false, 8, AV_PICTURE_STRUCTURE_BOTTOM_FIELD)};
    CHECK(!number_frames(packets, pictures, 2));
    CHECK_EQ(build_frame_index(packets).frame_pts, (std::vector<int64_t>{2, 4}));
    // The second field's bytes belong to its frame.
    CHECK_EQ(packets[3].frame_pts, 2);
    CHECK_EQ(packets[0].frame_pts, kNone);
}

void frames_numbered_by_the_decoders_output_take_each_packets_first_picture() {
    // The decoder gave nothing for packet 1, and a second picture for packet 2 (two
    // pictures in one packet): that packet's frame is its first picture's.
    std::vector<PacketInfo> packets = table({{kNone, true}, {kNone, false}, {kNone, false}, {kNone, false}});
    number_by_output_order(packets, {0, 3, 2, 2});
    CHECK_EQ(packets[0].pts, 0);
    CHECK_EQ(packets[1].pts, kNone);
    CHECK_EQ(packets[1].frame_pts, kNone);
    CHECK_EQ(packets[3].frame_pts, 1);
    CHECK_EQ(packets[2].frame_pts, 2);
    CHECK_EQ(build_frame_index(packets).frame_pts, (std::vector<int64_t>{0, 1, 2}));
}

}  // namespace

int main() {
    frames_numbered_by_the_decoders_output_take_each_packets_first_picture();
    bitstream_order_restarts_at_every_idr_picture();
    second_field_of_a_pair_makes_no_frame();
    pictures_output_before_the_first_output_are_never_shown();
    a_memory_reset_begins_two_groups();
    discarded_pictures_are_decoded_but_not_numbered();
    timestamps_that_start_again_number_from_the_bitstream();
    timestamped_second_fields_and_withheld_pictures_make_no_frame();
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
