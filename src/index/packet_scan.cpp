#include "index/packet_scan.hpp"

#include <optional>

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
    const AVCodecParameters& codecpar = *input.video_stream().codecpar;
    const bool readable = codecpar.codec_id == AV_CODEC_ID_H264;
    std::optional<H264HeaderReader> headers;
    while (av_read_frame(input.demuxer(), packet.get()) >= 0) {
        const PacketReference read(*packet);
        if (packet->stream_index != input.stream()) {
            continue;
        }
        if (readable && !headers) {
            scanned.with_order_counts = with_order_counts || packet->pts == AV_NOPTS_VALUE;
            headers.emplace(codecpar, scanned.with_order_counts);
        }
        scanned.packets.push_back(describe(*packet, scanned.packets.size()));
        // FFmpeg marks a packet corrupt where the file ran out before the size it asked for.
        scanned.last_packet_cut = (packet->flags & AV_PKT_FLAG_CORRUPT) != 0;
        if (headers) {
            scanned.pictures.push_back(headers->read(*packet));
        }
    }
    if (headers) {
        scanned.first_window = headers->first_window();
        scanned.parameter_sets = headers->parameter_set_history();
    }
    return scanned;
}
