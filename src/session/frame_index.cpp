#include "frame_index.hpp"

#include <algorithm>
#include <new>
#include <memory>
#include <tuple>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

struct PacketFree {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

PacketInfo describe(const AVPacket& packet, std::size_t decode_order) {
    return PacketInfo{packet.pts, packet.dts, packet.pos, packet.size, (packet.flags & AV_PKT_FLAG_KEY) != 0,
                      static_cast<int32_t>(decode_order)};
}

// Byte positions are what every container that can lack timestamps (MPEG-PS, MPEG-TS, raw
// streams) seeks by reliably; AVI, which cannot, lacks them from its first packet on.
bool rewind_to(AVFormatContext* fmt_ctx, int video_stream_index, const PacketInfo& first) {
    return first.pos >= 0 && av_seek_frame(fmt_ctx, video_stream_index, first.pos, AVSEEK_FLAG_BYTE) >= 0;
}

}  // namespace

// The parser's picture order is needed only where a packet lacks a timestamp, which is known
// for certain only at the end: reading it costs nothing for the files that have them all. It
// starts with the first packet without one, and where packets came before that, the scan
// begins again so that the parser sees the stream from its start.
ScannedPackets scan_video_packets(AVFormatContext* fmt_ctx, int video_stream_index) {
    std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
    if (!packet) {
        throw std::bad_alloc();
    }
    ScannedPackets scanned;
    std::unique_ptr<PresentationOrderReader> order_reader;
    while (av_read_frame(fmt_ctx, packet.get()) >= 0) {
        if (packet->stream_index == video_stream_index) {
            if (!order_reader && packet->pts == AV_NOPTS_VALUE) {
                order_reader = std::make_unique<PresentationOrderReader>(
                    fmt_ctx->streams[video_stream_index]->codecpar);
                if (!scanned.packets.empty() && rewind_to(fmt_ctx, video_stream_index, scanned.packets.front())) {
                    scanned.packets.clear();
                    av_packet_unref(packet.get());
                    continue;
                }
                scanned.pictures.resize(scanned.packets.size());
            }
            scanned.packets.push_back(describe(*packet, scanned.packets.size()));
            if (order_reader) {
                scanned.pictures.push_back(order_reader->read(*packet));
            }
        }
        av_packet_unref(packet.get());
    }
    return scanned;
}

bool number_frames_from_bitstream(std::vector<PacketInfo>& packets, const std::vector<PictureOrder>& pictures) {
    const bool every_pts = std::all_of(packets.begin(), packets.end(),
                                       [](const PacketInfo& packet) { return packet.pts != AV_NOPTS_VALUE; });
    if (every_pts) {
        return false;
    }
    const std::vector<int64_t> numbers = number_in_presentation_order(pictures);
    for (std::size_t i = 0; i < packets.size(); ++i) {
        packets[i].pts = numbers[i];
    }
    return true;
}

namespace {

struct PacketStart {
    int64_t seek_pts;
    int32_t start_packet;
};

// For every packet, the key packet that its interval begins with. Packets before the first
// key packet refer to the first packet, which is where decoding of the file begins anyway.
std::vector<PacketStart> find_packet_starts(const std::vector<PacketInfo>& packets) {
    std::vector<PacketStart> starts;
    starts.reserve(packets.size());
    int64_t seek_pts = packets.front().pts == AV_NOPTS_VALUE ? 0 : packets.front().pts;
    int32_t key = 0;
    int32_t previous_key = -1;
    for (const PacketInfo& packet : packets) {
        if (packet.is_key) {
            seek_pts = packet.pts;
            if (packet.decode_order != key) {
                previous_key = key;
            }
            key = packet.decode_order;
        }
        const bool leading = packet.pts != AV_NOPTS_VALUE && packets[key].is_key &&
                             packets[key].pts != AV_NOPTS_VALUE && packet.pts < packets[key].pts;
        const int32_t start = leading && previous_key >= 0 ? previous_key : key;
        starts.push_back(PacketStart{seek_pts, start});
    }
    return starts;
}

}  // namespace

FrameIndex build_frame_index(const std::vector<PacketInfo>& packets) {
    FrameIndex index;
    if (packets.empty()) {
        return index;
    }
    const std::vector<PacketStart> starts = find_packet_starts(packets);

    std::vector<std::tuple<int64_t, int64_t, int32_t>> pairs;
    pairs.reserve(packets.size());
    for (std::size_t i = 0; i < packets.size(); ++i) {
        if (packets[i].pts != AV_NOPTS_VALUE) {
            pairs.emplace_back(packets[i].pts, starts[i].seek_pts, starts[i].start_packet);
        }
    }
    std::sort(pairs.begin(), pairs.end(),
              [](const auto& a, const auto& b) { return std::get<0>(a) < std::get<0>(b); });

    for (const auto& [pts, seek_pts, start_packet] : pairs) {
        if (!index.frame_pts.empty() && index.frame_pts.back() == pts) {
            continue;
        }
        index.pts_to_index.emplace(pts, static_cast<int32_t>(index.frame_pts.size()));
        index.frame_pts.push_back(pts);
        index.frame_seek_pts.push_back(seek_pts);
        index.frame_start_packet.push_back(start_packet);
    }
    return index;
}
