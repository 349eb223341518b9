#include "index/packet_scan.hpp"

#include <memory>

namespace {

PacketInfo describe(const AVPacket& packet, std::size_t decode_order) {
    return PacketInfo{packet.pts, packet.dts, packet.pos, packet.size, (packet.flags & AV_PKT_FLAG_KEY) != 0,
                      static_cast<int32_t>(decode_order)};
}

// Byte positions are what every container that can lack timestamps (MPEG-PS, MPEG-TS, raw
// streams) seeks by reliably; AVI, which cannot, lacks them from its first packet on.
bool rewind_to(VideoInput& input, const PacketInfo& first) { return first.pos >= 0 && input.seek_to_byte(first.pos); }

}  // namespace

// The parser's picture order is needed only where a packet lacks a timestamp, which is known
// for certain only at the end: reading it costs nothing for the files that have them all. It
// starts with the first packet without one, and where packets came before that, the scan
// begins again so that the parser sees the stream from its start.
ScannedPackets scan_video_packets(VideoInput& input) {
    PacketHandle packet = allocate_packet();
    ScannedPackets scanned;
    std::unique_ptr<PresentationOrderReader> order_reader;
    while (av_read_frame(input.demuxer(), packet.get()) >= 0) {
        const PacketReference read(*packet);
        if (packet->stream_index != input.stream()) {
            continue;
        }
        if (!order_reader && packet->pts == AV_NOPTS_VALUE) {
            order_reader = std::make_unique<PresentationOrderReader>(input.video_stream().codecpar);
            if (!scanned.packets.empty() && rewind_to(input, scanned.packets.front())) {
                scanned.packets.clear();
                continue;
            }
            scanned.pictures.resize(scanned.packets.size());
        }
        scanned.packets.push_back(describe(*packet, scanned.packets.size()));
        if (order_reader) {
            scanned.pictures.push_back(order_reader->read(*packet));
        }
    }
    return scanned;
}
