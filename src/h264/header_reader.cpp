#include "h264/header_reader.hpp"

#include "h264/nal_units.hpp"
#include "h264/recovery_point.hpp"

namespace {

constexpr int kSliceNonIdr = 1;
// The start of each unit is all any header needs; the search for a unit's end stops there.
constexpr int kUnitPrefixBytes = 1024;

}  // namespace

H264HeaderReader::H264HeaderReader(const AVCodecParameters& codecpar, bool with_order_counts)
    : with_order_counts_(with_order_counts), length_size_(nal_length_size(codecpar.extradata, codecpar.extradata_size)) {
    visit_extradata_nal_units(codecpar.extradata, codecpar.extradata_size, [this](const NalUnit& unit) {
        read_parameter_set(-1, unit);
        return true;
    });
}

PictureOrder H264HeaderReader::read(const AVPacket& packet) {
    const int32_t packet_read = packets_read_++;
    PictureOrder order;
    if (is_refused_by_decoder(packet.data, packet.size, length_size_)) {
        order.lacks_picture = true;
        return order;
    }
    bool readable = false;
    bool has_slice = false;
    int64_t recovery_frames = -1;
    visit_nal_units(
        packet.data, packet.size, length_size_,
        [&](const NalUnit& unit) {
            readable = true;
            if (unit.type() == kSliceNonIdr || unit.type() == kSliceIdr) {
                has_slice = true;
                order = read_slice(unit);
                return false;
            }
            if (const std::optional<uint32_t> count = recovery_frame_count(unit)) {
                recovery_frames = *count;
            }
            read_parameter_set(packet_read, unit);
            return true;
        },
        kUnitPrefixBytes);
    order.lacks_picture = readable && !has_slice;
    order.recovery_frames = recovery_frames;
    return order;
}

// A unit as long as the part of it that is read may have been cut there: the decoder keeps
// what it has rather than be given a part of a set.
void H264HeaderReader::read_parameter_set(int32_t packet, const NalUnit& unit) {
    sets_.read(unit);
    if (unit.size < kUnitPrefixBytes) {
        history_.declare(packet, unit);
    }
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
    order.frame_num = header.frame_num;
    order.frame_num_modulus = uint32_t{1} << header.sequence->frame_num_bits;
    order.reference = header.reference;
    if (with_order_counts_) {
        order.memory_reset = header.memory_reset;
        order.poc = order_counter_.next(header);
    }
    return order;
}
