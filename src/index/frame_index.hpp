#pragma once

#include <cstdint>
#include <vector>

#include "index/packet_scan.hpp"

// Frames numbered in presentation order, and where decoding each of them has to begin.
struct FrameIndex {
    // Ascending: frame i has the i-th smallest presentation timestamp.
    std::vector<int64_t> frame_pts;
    // Timestamp of the last key packet at or before the frame's packet in file order.
    std::vector<int64_t> frame_seek_pts;
    // Position in the packet table of the key packet that decoding starts from. Differs
    // from the packet behind frame_seek_pts only for an open GOP's leading pictures,
    // which reference the previous interval and so start at the key packet before.
    std::vector<int32_t> frame_start_packet;

    int32_t count() const { return static_cast<int32_t>(frame_pts.size()); }

    // The frame with this presentation timestamp, or -1 where no frame has it.
    int32_t frame_of_pts(int64_t pts) const;

    // The first frame of each run of frames that decoding starts from the same key packet:
    // where a frame range may be cut so that no key-frame interval is decoded twice.
    std::vector<int32_t> interval_starts() const;
};

// The frames the numbering gave the packets (frame_numbering.hpp), in presentation order.
FrameIndex build_frame_index(const std::vector<PacketInfo>& packets);

// The key packet before the one at `packet` in the table, or the first packet.
int32_t previous_key_packet(const std::vector<PacketInfo>& packets, int32_t packet);
