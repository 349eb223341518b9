#include "index/frame_index.hpp"

#include <algorithm>
#include <tuple>

namespace {

// The packet whose picture is a frame: not a second field, which completes its first field's.
bool begins_frame(const PacketInfo& packet) {
    return packet.frame_pts != AV_NOPTS_VALUE && packet.frame_pts == packet.pts;
}

struct PacketStart {
    int64_t seek_pts;
    int32_t start_packet;
};

// For every packet, the key packet that its interval begins with. Packets before the first
// key packet refer to the first packet, which is where decoding of the file begins anyway.
// Pictures shown before the first one decoding from the key packet outputs (an open GOP's
// leading pictures, those before a recovery point's recovery completes) begin at the key
// packet before.
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
        const int64_t shown_from =
            packets[key].shown_from_pts != AV_NOPTS_VALUE ? packets[key].shown_from_pts : packets[key].pts;
        const bool leading = packet.pts != AV_NOPTS_VALUE && packets[key].is_key && shown_from != AV_NOPTS_VALUE &&
                             packet.pts < shown_from;
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
        if (begins_frame(packets[i])) {
            pairs.emplace_back(packets[i].frame_pts, starts[i].seek_pts, starts[i].start_packet);
        }
    }
    std::sort(pairs.begin(), pairs.end(),
              [](const auto& a, const auto& b) { return std::get<0>(a) < std::get<0>(b); });

    for (const auto& [pts, seek_pts, start_packet] : pairs) {
        if (!index.frame_pts.empty() && index.frame_pts.back() == pts) {
            continue;
        }
        index.frame_pts.push_back(pts);
        index.frame_seek_pts.push_back(seek_pts);
        index.frame_start_packet.push_back(start_packet);
    }
    return index;
}

int32_t FrameIndex::frame_of_pts(int64_t pts) const {
    const auto found = std::lower_bound(frame_pts.begin(), frame_pts.end(), pts);
    return found != frame_pts.end() && *found == pts ? static_cast<int32_t>(found - frame_pts.begin()) : -1;
}

std::vector<int32_t> FrameIndex::interval_starts() const {
    std::vector<int32_t> starts;
    for (std::size_t frame = 0; frame < frame_start_packet.size(); ++frame) {
        if (frame == 0 || frame_start_packet[frame] != frame_start_packet[frame - 1]) {
            starts.push_back(static_cast<int32_t>(frame));
        }
    }
    return starts;
}

int32_t previous_key_packet(const std::vector<PacketInfo>& packets, int32_t packet) {
    for (int32_t i = packet - 1; i > 0; --i) {
        if (packets[i].is_key) {
            return i;
        }
    }
    return 0;
}
