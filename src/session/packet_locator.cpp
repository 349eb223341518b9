#include "packet_locator.hpp"

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
int64_t seek_timestamp(const PacketInfo& key) { return key.dts != AV_NOPTS_VALUE ? key.dts : key.pts; }

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

void PacketLocator::seek(AVFormatContext* fmt_ctx, int stream_index, const std::vector<PacketInfo>& packets,
                         int32_t start_packet) {
    start = start_packet;
    rewound = false;
    if (by_count) {
        anchor = positioned_packet_at_or_before(packets, start);
        seek_to_anchor(fmt_ctx, stream_index, packets);
    } else {
        av_seek_frame(fmt_ctx, stream_index, seek_timestamp(packets[start]), AVSEEK_FLAG_BACKWARD);
    }
}

// Demuxers that keep an index of their own (AVI, MPEG-PS, MPEG-TS) find a packet by its
// decoding timestamp; a raw stream has none and is entered at the byte position instead.
void PacketLocator::seek_to_anchor(AVFormatContext* fmt_ctx, int stream_index,
                                   const std::vector<PacketInfo>& packets) {
    counted = -1;
    const PacketInfo& target = packets[anchor];
    if (target.dts != AV_NOPTS_VALUE) {
        av_seek_frame(fmt_ctx, stream_index, target.dts, AVSEEK_FLAG_BACKWARD);
    } else {
        av_seek_frame(fmt_ctx, stream_index, target.pos >= 0 ? target.pos : 0, AVSEEK_FLAG_BYTE);
    }
}

PacketLocator::Arrival PacketLocator::arrive(AVFormatContext* fmt_ctx, int stream_index,
                                             const std::vector<PacketInfo>& packets, const AVPacket& packet) {
    return by_count ? arrive_by_count(fmt_ctx, stream_index, packets, packet)
                    : arrive_by_position(fmt_ctx, stream_index, packets, packet);
}

// Demuxers land at or before the timestamp sought, some a whole interval early; what
// precedes the key packet is dropped without being decoded. One that lands past it is sent
// back to the very beginning.
PacketLocator::Arrival PacketLocator::arrive_by_position(AVFormatContext* fmt_ctx, int stream_index,
                                                         const std::vector<PacketInfo>& packets,
                                                         const AVPacket& packet) {
    const Placement placement = place_against(packet, packets[start]);
    if (placement == Placement::Before) {
        return Arrival::Before;
    }
    if (placement == Placement::After && !rewound) {
        av_seek_frame(fmt_ctx, stream_index, seek_timestamp(packets.front()), AVSEEK_FLAG_BACKWARD);
        rewound = true;
        return Arrival::Before;
    }
    return Arrival::AtStart;
}

PacketLocator::Arrival PacketLocator::arrive_by_count(AVFormatContext* fmt_ctx, int stream_index,
                                                      const std::vector<PacketInfo>& packets,
                                                      const AVPacket& packet) {
    if (counted < 0) {
        // Only the file's first packet can be an anchor without a position: the first packet
        // read after going there is that one.
        const int64_t wanted = packets[anchor].pos;
        if (wanted >= 0 && (packet.pos < 0 || packet.pos < wanted)) {
            return Arrival::Before;
        }
        if (wanted >= 0 && packet.pos > wanted) {
            return rewind_to_first_packet(fmt_ctx, stream_index, packets) ? Arrival::Before : Arrival::Lost;
        }
        counted = anchor;
    } else {
        ++counted;
    }
    // A parser that starts inside a PES may glue the end of an earlier picture to the anchor
    // packet; that packet is dropped anyway when it is not the key packet itself.
    const bool glued_anchor = counted == anchor && anchor < start;
    if (!glued_anchor && !matches(packets, packet, counted)) {
        return rewind_to_first_packet(fmt_ctx, stream_index, packets) ? Arrival::Before : Arrival::Lost;
    }
    return counted < start ? Arrival::Before : Arrival::AtStart;
}

bool PacketLocator::rewind_to_first_packet(AVFormatContext* fmt_ctx, int stream_index,
                                           const std::vector<PacketInfo>& packets) {
    if (rewound || anchor == 0) {
        return false;
    }
    rewound = true;
    anchor = 0;
    seek_to_anchor(fmt_ctx, stream_index, packets);
    return true;
}

bool PacketLocator::take(const std::vector<PacketInfo>& packets, AVPacket& packet, int32_t expected) const {
    if (!matches(packets, packet, expected)) {
        return false;
    }
    if (by_count) {
        packet.pts = packets[expected].pts;
    }
    return true;
}

bool PacketLocator::matches(const std::vector<PacketInfo>& packets, const AVPacket& packet,
                            int32_t expected) const {
    if (!by_count) {
        return true;
    }
    return expected >= 0 && static_cast<std::size_t>(expected) < packets.size() &&
           packets[expected].size == packet.size;
}
