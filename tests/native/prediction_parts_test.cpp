// The parts of picture prediction that no clip exercises at their edges: packets whose NAL
// units are laid out in unusual ways, and motion vectors that reach past the picture.
// Usage: prediction_parts_test

#include <cstdint>
#include <limits>
#include <vector>

#include "check.hpp"
#include "decode/loop_filter_switch.hpp"
#include "frame/motion_vector_field.hpp"
#include "h264/reference_packet.hpp"

namespace {

bool reference(std::vector<uint8_t> bytes, int length_size) {
    AVPacket packet{};
    packet.data = bytes.data();
    packet.size = static_cast<int>(bytes.size());
    return carries_reference_picture(packet, length_size);
}

void reference_flag_comes_from_the_first_slice() {
    // An SEI unit (nal_ref_idc 0, type 6) before the slice: only slices count.
    CHECK_EQ(reference({0, 0, 0, 2, 0x06, 0x05, 0, 0, 0, 3, 0x01, 0x9A, 0x00}, 4), false);
    CHECK_EQ(reference({0, 0, 0, 2, 0x06, 0x05, 0, 0, 0, 3, 0x21, 0x9A, 0x00}, 4), true);
    CHECK_EQ(reference({0, 2, 0x09, 0xF0, 0, 3, 0x65, 0x88, 0x80}, 2), true);
    CHECK_EQ(reference({0, 0, 0, 1, 0x09, 0xF0, 0, 0, 1, 0x01, 0x9E, 0x00}, 0), false);
    CHECK_EQ(reference({0, 0, 0, 1, 0x09, 0xF0, 0, 0, 1, 0x41, 0x9E, 0x00}, 0), true);
}

void start_codes_are_read_where_lengths_were_declared() {
    CHECK_EQ(reference({0, 0, 0, 1, 0x01, 0x9E, 0x00}, 4), false);
    CHECK_EQ(reference({0, 0, 1, 0x01, 0x9E, 0x00}, 4), false);
}

void unreadable_packets_count_as_references() {
    CHECK_EQ(reference({}, 4), true);
    CHECK_EQ(reference({0, 0, 0, 9, 0x01, 0x9E}, 4), true);
    CHECK_EQ(reference({0, 0, 0, 2, 0x06, 0x05}, 4), true);
    CHECK_EQ(reference({0xFF, 0xFF, 0xFF}, 0), true);
}

// An MPEG-2 slice start code reads as an H.264 slice nothing references. A requested
// picture of another codec counts as a reference all the same: decoding on from it would
// predict from its unfiltered picture, so the next request must seek.
void packets_of_other_codecs_count_as_references() {
    std::vector<uint8_t> bytes{0, 0, 1, 0x01, 0x9E, 0x00};
    AVPacket packet{};
    packet.data = bytes.data();
    packet.size = static_cast<int>(bytes.size());
    packet.pts = 7;
    AVCodecContext decoder{};
    for (const bool h264 : {true, false}) {
        LoopFilterSwitch filter;
        filter.configure(DeblockingMode::Exact, 0, h264);
        filter.before_sending(decoder, packet, true);
        CHECK_EQ(decoder.skip_loop_filter, AVDISCARD_ALL);
        CHECK_EQ(filter.needs_seek_for(8), !h264);
    }
}

void length_size_comes_from_the_avc_record() {
    const std::vector<uint8_t> record{1, 0x64, 0, 0x1F, 0xFF, 0xE1, 0};
    CHECK_EQ(nal_length_size(record.data(), static_cast<int>(record.size())), 4);
    const std::vector<uint8_t> short_lengths{1, 0x64, 0, 0x1F, 0xFD, 0xE1, 0};
    CHECK_EQ(nal_length_size(short_lengths.data(), static_cast<int>(short_lengths.size())), 2);
    const std::vector<uint8_t> annex_b{0, 0, 0, 1, 0x67, 0x64, 0};
    CHECK_EQ(nal_length_size(annex_b.data(), static_cast<int>(annex_b.size())), 0);
    CHECK_EQ(nal_length_size(nullptr, 0), 0);
    CHECK_EQ(nal_length_size(record.data(), 6), 0);
}

AVMotionVector vector(int source, int size, int dst_x, int dst_y, int motion_x, int motion_y, int scale) {
    AVMotionVector made{};
    made.source = source;
    made.w = static_cast<uint8_t>(size);
    made.h = static_cast<uint8_t>(size);
    made.dst_x = static_cast<int16_t>(dst_x);
    made.dst_y = static_cast<int16_t>(dst_y);
    made.motion_x = motion_x;
    made.motion_y = motion_y;
    made.motion_scale = static_cast<uint16_t>(scale);
    return made;
}

// Field value at [direction][component][row][column] of a rows x columns grid.
int16_t at(const std::vector<int16_t>& field, int rows, int columns, int direction, int component, int row,
           int column) {
    return field[((static_cast<std::size_t>(direction) * 2 + component) * rows + row) * columns + column];
}

void vectors_fill_the_blocks_they_cover() {
    const int rows = 8;
    const int columns = 8;
    std::vector<int16_t> field(motion_field_size(rows, columns), 99);
    fill_motion_field({vector(-1, 16, 8, 8, 6, -2, 4), vector(1, 8, 20, 28, 3, 1, 2)}, rows, columns, field.data());
    CHECK_EQ(at(field, rows, columns, 0, 0, 3, 3), 6);
    CHECK_EQ(at(field, rows, columns, 0, 1, 0, 0), -2);
    CHECK_EQ(at(field, rows, columns, 0, 0, 4, 0), 0);
    CHECK_EQ(at(field, rows, columns, 0, 0, 0, 4), 0);
    CHECK_EQ(at(field, rows, columns, 1, 0, 0, 0), 0);
    // Half pixels in quarter pixels; block (24..31, 16..23) is rows 6-7, columns 4-5.
    CHECK_EQ(at(field, rows, columns, 1, 0, 6, 4), 6);
    CHECK_EQ(at(field, rows, columns, 1, 1, 7, 5), 2);
    CHECK_EQ(at(field, rows, columns, 1, 0, 5, 4), 0);
    CHECK_EQ(at(field, rows, columns, 1, 0, 6, 6), 0);
}

void vectors_past_the_edges_are_clipped() {
    const int rows = 4;
    const int columns = 4;
    std::vector<int16_t> field(motion_field_size(rows, columns), 99);
    fill_motion_field({vector(-1, 16, -4, -4, 4, 4, 4), vector(-1, 16, 16, 16, 8, 8, 0),
                       vector(1, 16, 16, 8, std::numeric_limits<int32_t>::max(), -70000, 4)},
                      rows, columns, field.data());
    // Covers x and y -12..3: block 0 only.
    CHECK_EQ(at(field, rows, columns, 0, 0, 0, 0), 4);
    CHECK_EQ(at(field, rows, columns, 0, 0, 0, 1), 0);
    CHECK_EQ(at(field, rows, columns, 0, 0, 1, 0), 0);
    // Without a scale the vector means nothing.
    CHECK_EQ(at(field, rows, columns, 0, 0, 2, 2), 0);
    CHECK_EQ(at(field, rows, columns, 0, 0, 3, 3), 0);
    // Covers x 8..23 and y 0..15: columns 2-3 within the grid, rows 0-3.
    CHECK_EQ(at(field, rows, columns, 1, 0, 0, 3), std::numeric_limits<int16_t>::max());
    CHECK_EQ(at(field, rows, columns, 1, 1, 3, 2), std::numeric_limits<int16_t>::min());
    CHECK_EQ(at(field, rows, columns, 1, 0, 0, 1), 0);
}

}  // namespace

int main() {
    reference_flag_comes_from_the_first_slice();
    start_codes_are_read_where_lengths_were_declared();
    unreadable_packets_count_as_references();
    length_size_comes_from_the_avc_record();
    packets_of_other_codecs_count_as_references();
    vectors_fill_the_blocks_they_cover();
    vectors_past_the_edges_are_clipped();
    return finish("prediction_parts_test");
}
