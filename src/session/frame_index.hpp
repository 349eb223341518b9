#pragma once

#include <cstdint>
#include <map>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "presentation_order.hpp"

// One packet of the video stream as the demuxer delivered it during the scan.
struct PacketInfo {
    int64_t pts;
    int64_t dts;
    int64_t pos;
    int32_t size;
    bool is_key;
    int32_t decode_order;
};

// Frames numbered in presentation order, and where decoding each of them has to begin.
struct FrameIndex {
    std::vector<int64_t> frame_pts;
    // Timestamp of the last key packet at or before the frame's packet in file order.
    std::vector<int64_t> frame_seek_pts;
    // Position in the packet table of the key packet that decoding starts from. Differs
    // from the packet behind frame_seek_pts only for an open GOP's leading pictures,
    // which reference the previous interval and so start at the key packet before.
    std::vector<int32_t> frame_start_packet;
    std::map<int64_t, int32_t> pts_to_index;
};

struct ScannedPackets {
    std::vector<PacketInfo> packets;
    // What the H.264 parser read from each packet, in the same order; empty where every
    // packet carried a presentation timestamp.
    std::vector<PictureOrder> pictures;
};

// Reads the rest of the input once, without decoding, and keeps a record of every packet
// of the given stream in file order. A read error ends the scan like the end of input.
ScannedPackets scan_video_packets(AVFormatContext* fmt_ctx, int video_stream_index);

// Where some packets carry no presentation timestamp, the container cannot say which
// picture is which: every packet's timestamp becomes its frame number in the order the
// decoder outputs the pictures, read from the bitstream. Returns whether it did so; where
// every packet has a timestamp, the container's are kept.
bool number_frames_from_bitstream(std::vector<PacketInfo>& packets, const std::vector<PictureOrder>& pictures);

FrameIndex build_frame_index(const std::vector<PacketInfo>& packets);
