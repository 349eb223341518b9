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

SliceFacts H264HeaderReader::read(const AVPacket& packet) {
    SliceFacts facts;
    bool readable = false;
    visit_nal_units(
        packet.data, packet.size, length_size_,
        [&](const NalUnit& unit) {
            readable = true;
            if (unit.type() == kSliceNonIdr || unit.type() == kSliceIdr) {
                facts = read_slice(unit);
                return false;
            }
            sets_.read(unit);
            return true;
        },
        kUnitPrefixBytes);
    facts.readable = readable;
    return facts;
}

SliceFacts H264HeaderReader::read_slice(const NalUnit& unit) {
    SliceFacts facts;
    facts.has_slice = true;
    SliceHeader header;
    if (!read_slice_header(unit, sets_, with_order_counts_, header)) {
        return facts;
    }
    if (!first_window_) {
        first_window_ = header.sequence->window;
    }
    facts.header_read = true;
    facts.idr = header.idr;
    facts.bipredicted = header.bipredicted;
    facts.structure = header.structure;
    if (with_order_counts_) {
        facts.memory_reset = header.memory_reset;
        facts.order_count = order_counter_.next(header);
    }
    return facts;
}
