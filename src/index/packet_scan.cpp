#include "index/packet_scan.hpp"

namespace {

PacketInfo describe(const AVPacket& packet, std::size_t decode_order) {
    PacketInfo info{packet.pts, packet.dts, packet.pts, packet.pos, packet.size, (packet.flags & AV_PKT_FLAG_KEY) != 0,
                    static_cast<int32_t>(decode_order)};
    info.discarded = (packet.flags & AV_PKT_FLAG_DISCARD) != 0;
    return info;
}

}  // namespace

// Every packet goes through the parser, timestamps or not: which pictures the decoder outputs
// (field pairs, pictures before the first it can show, resets) is in the bitstream alone.
ScannedPackets scan_video_packets(VideoInput& input) {
    PacketHandle packet = allocate_packet();
    ScannedPackets scanned;
    PresentationOrderReader order_reader(input.video_stream().codecpar);
    while (av_read_frame(input.demuxer(), packet.get()) >= 0) {
        const PacketReference read(*packet);
        if (packet->stream_index != input.stream()) {
            continue;
        }
        scanned.packets.push_back(describe(*packet, scanned.packets.size()));
        if (order_reader.can_read()) {
            scanned.pictures.push_back(order_reader.read(*packet));
        }
    }
    scanned.first_crop = order_reader.first_crop();
    return scanned;
}
