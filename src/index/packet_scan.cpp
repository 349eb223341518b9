#include "index/packet_scan.hpp"

#include <memory>

namespace {

PacketInfo describe(const AVPacket& packet, std::size_t decode_order) {
    PacketInfo info{packet.pts, packet.dts, packet.pts, packet.pos, packet.size, (packet.flags & AV_PKT_FLAG_KEY) != 0,
                    static_cast<int32_t>(decode_order)};
    info.discarded = (packet.flags & AV_PKT_FLAG_DISCARD) != 0;
    return info;
}

}  // namespace

ScannedPackets scan_video_packets(VideoInput& input, bool with_order_counts) {
    PacketHandle packet = allocate_packet();
    ScannedPackets scanned;
    std::unique_ptr<PresentationOrderReader> order_reader;
    while (av_read_frame(input.demuxer(), packet.get()) >= 0) {
        const PacketReference read(*packet);
        if (packet->stream_index != input.stream()) {
            continue;
        }
        if (!order_reader) {
            order_reader = std::make_unique<PresentationOrderReader>(
                input.video_stream().codecpar, with_order_counts || packet->pts == AV_NOPTS_VALUE);
        }
        scanned.packets.push_back(describe(*packet, scanned.packets.size()));
        if (order_reader->can_read()) {
            scanned.pictures.push_back(order_reader->read(*packet));
        }
    }
    if (order_reader) {
        scanned.with_order_counts = order_reader->reads_order_counts();
        scanned.first_window = order_reader->first_window();
    }
    return scanned;
}
