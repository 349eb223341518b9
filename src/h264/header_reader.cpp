#include "h264/header_reader.hpp"

namespace {

constexpr int kSliceNonIdr = 1;
constexpr int kSliceIdr = 5;
// The start of each unit is all any header needs; the search for a unit's end stops there.
constexpr int kUnitPrefixBytes = 1024;

}  // namespace

H264HeaderReader::H264HeaderReader(const AVCodecParameters& codecpar, bool with_order_counts)
    : with_order_counts_(with_order_counts), length_size_(nal_length_size(codecpar.extradata, codecpar.extradata_size)) {
    visit_extradata_nal_units(codecpar.extradata, codecpar.extradata_size, [this](const NalUnit& unit) {
        sets_.read(unit);
        return true;
    });
}

PictureOrder H264HeaderReader::read(const AVPacket& packet) {
    PictureOrder order;
    bool readable = false;
    bool has_slice = false;
    visit_nal_units(
        packet.data, packet.size, length_size_,
        [&](const NalUnit& unit) {
            readable = true;
            if (unit.type() == kSliceNonIdr || unit.type() == kSliceIdr) {
                has_slice = true;
                order = read_slice(unit);
                return false;
            }
            sets_.read(unit);
            return true;
        },
        kUnitPrefixBytes);
    order.lacks_picture = readable && !has_slice;
    return order;
}

PictureOrder H264HeaderReader::read_slice(const NalUnit& unit) {
    PictureOrder order;
    SliceHeader header;
    if (!read_slice_header(unit, sets_, with_order_counts_, header)) {
        return order;
    }
    if (!first_window_) {
        first_window_ = header.sequence->window;
    }
    order.has_picture = true;
    order.idr = header.idr;
    order.bipredicted = header.bipredicted;
    order.structure = header.structure;
    if (with_order_counts_) {
        order.memory_reset = header.memory_reset;
        order.poc = order_counter_.next(header);
    }
    return order;
}
