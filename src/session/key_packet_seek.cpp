#include "key_packet_seek.hpp"

namespace {

// Seeking by decoding timestamp lands at or before the key packet in every demuxer: those
// that seek by it (MPEG-TS) would land past a key packet whose presentation comes later.
int64_t seek_timestamp(const PacketInfo& key) { return key.dts != AV_NOPTS_VALUE ? key.dts : key.pts; }

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

}  // namespace

void seek_before(AVFormatContext* fmt_ctx, int video_stream_index, const PacketInfo& key) {
    av_seek_frame(fmt_ctx, video_stream_index, seek_timestamp(key), AVSEEK_FLAG_BACKWARD);
}

Landing land_on_key_packet(AVFormatContext* fmt_ctx, int video_stream_index, const AVPacket& packet,
                           const std::vector<PacketInfo>& packets, int32_t key, bool& rewound) {
    const Placement placement = place_against(packet, packets[key]);
    if (placement == Placement::Before) {
        return Landing::Drop;
    }
    if (placement == Placement::After && !rewound) {
        seek_before(fmt_ctx, video_stream_index, packets.front());
        rewound = true;
        return Landing::Drop;
    }
    return Landing::Decode;
}

int32_t previous_key_packet(const std::vector<PacketInfo>& packets, int32_t packet) {
    for (int32_t i = packet - 1; i > 0; --i) {
        if (packets[i].is_key) {
            return i;
        }
    }
    return 0;
}
