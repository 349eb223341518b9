#include "index/packet_locator.hpp"

#include <utility>

namespace {

enum class Placement { Before, At, After };

// Where a packet just read lies relative to the key packet that decoding has to start from.
// The byte position identifies a packet exactly; where the demuxer does not report one,
// the decoding timestamp, which never decreases within a stream, orders the packets.
Placement place_against(const AVPacket& packet, const PacketInfo& key) {
    if (packet.pos >= 0 && key.pos >= 0) {
        return packet.pos < key.pos ? Placement::Before : packet.pos == key.pos ? Placement::At : Placement::After;
    }
    if (packet.dts != AV_NOPTS_VALUE && key.dts != AV_NOPTS_VALUE) {
        return packet.dts < key.dts ? Placement::Before : packet.dts == key.dts ? Placement::At : Placement::After;
    }
    return Placement::At;
}

// Seeking by decoding timestamp lands at or before the key packet in every demuxer: those
// that seek by it (MPEG-TS) would land past a key packet whose presentation comes later.
// Matroska gives some packets none, and a key packet's presentation timestamp finds its
// cue point.
int64_t seek_timestamp(const PacketInfo& key) { return key.dts != AV_NOPTS_VALUE ? key.dts : key.container_pts; }

// The nearest packet at or before `packet` whose byte position the demuxer reported.
int32_t positioned_packet_at_or_before(const std::vector<PacketInfo>& packets, int32_t packet) {
    for (int32_t i = packet; i > 0; --i) {
        if (packets[i].pos >= 0) {
            return i;
        }
    }
    return 0;
}

}  // namespace

PacketLocator::PacketLocator(const std::vector<PacketInfo>& packets, bool count_packets, DemuxerSeeks seeks)
    : packets_(packets), by_count_(count_packets), seeks_(std::move(seeks)) {}

void PacketLocator::seek(int32_t start_packet) {
    start_ = start_packet;
    rewound_ = false;
    if (by_count_) {
        anchor_ = positioned_packet_at_or_before(packets_, start_);
        seek_to_anchor();
    } else {
        seeks_.to_timestamp(seek_timestamp(packets_[start_]));
    }
}

// Demuxers that keep an index of their own (AVI, MPEG-PS, MPEG-TS, Matroska, MP4) find a
// packet by its timestamp; a raw stream has none and is entered at the byte position instead.
bool PacketLocator::seek_to_anchor() {
    counted_ = -1;
    const PacketInfo& target = packets_[anchor_];
    const int64_t timestamp = seek_timestamp(target);
    if (timestamp != AV_NOPTS_VALUE) {
        return seeks_.to_timestamp(timestamp);
    }
    return seeks_.to_byte(target.pos >= 0 ? target.pos : 0);
}

PacketLocator::Arrival PacketLocator::arrive(const AVPacket& packet) {
    return by_count_ ? arrive_by_count(packet) : arrive_by_position(packet);
}

// Demuxers land at or before the timestamp sought, some a whole interval early; what
// precedes the key packet is dropped without being decoded. One that lands past it is sent
// back to the very beginning, once: past it again, the key packet cannot be reached, and
// decoding from a later packet would give other pictures.
PacketLocator::Arrival PacketLocator::arrive_by_position(const AVPacket& packet) {
    const Placement placement = place_against(packet, packets_[start_]);
    if (placement == Placement::Before) {
        return Arrival::Before;
    }
    if (placement == Placement::After) {
        if (rewound_) {
            return Arrival::Lost;
        }
        rewound_ = true;
        return seeks_.to_timestamp(seek_timestamp(packets_.front())) ? Arrival::Before : Arrival::Lost;
    }
    return Arrival::AtStart;
}

PacketLocator::Arrival PacketLocator::arrive_by_count(const AVPacket& packet) {
    if (counted_ < 0) {
        // Only the file's first packet can be an anchor without a position: the first packet
        // read after going there is that one.
        const int64_t wanted = packets_[anchor_].pos;
        if (wanted >= 0 && (packet.pos < 0 || packet.pos < wanted)) {
            return Arrival::Before;
        }
        if (wanted >= 0 && packet.pos > wanted) {
            return rewind_to_first_packet() ? Arrival::Before : Arrival::Lost;
        }
        counted_ = anchor_;
    } else {
        ++counted_;
    }
    // A parser that starts inside a PES may glue the end of an earlier picture to the anchor
    // packet; that packet is dropped anyway when it is not the key packet itself.
    const bool glued_anchor = counted_ == anchor_ && anchor_ < start_;
    if (!glued_anchor && !matches(packet, counted_)) {
        return rewind_to_first_packet() ? Arrival::Before : Arrival::Lost;
    }
    return counted_ < start_ ? Arrival::Before : Arrival::AtStart;
}

// Once only: after the rewind the anchor is the first packet, from which there is no further
// back to go.
bool PacketLocator::rewind_to_first_packet() {
    if (anchor_ == 0) {
        return false;
    }
    anchor_ = 0;
    return seek_to_anchor();
}

bool PacketLocator::take(AVPacket& packet, int32_t expected) const {
    if (!matches(packet, expected)) {
        return false;
    }
    if (by_count_) {
        packet.pts = packets_[expected].pts;
    }
    return true;
}

bool PacketLocator::matches(const AVPacket& packet, int32_t expected) const {
    if (!by_count_) {
        return true;
    }
    return expected >= 0 && static_cast<std::size_t>(expected) < packets_.size() && packets_[expected].size == packet.size;
}
