#pragma once

#include <cstdint>
#include <vector>

#include "ffmpeg/video_input.hpp"
#include "index/presentation_order.hpp"

// One packet of the video stream as the demuxer delivered it during the scan.
struct PacketInfo {
    int64_t pts;
    int64_t dts;
    int64_t pos;
    int32_t size;
    bool is_key;
    int32_t decode_order;
};

struct ScannedPackets {
    std::vector<PacketInfo> packets;
    // What the H.264 parser read from each packet, in the same order; empty where every
    // packet carried a presentation timestamp.
    std::vector<PictureOrder> pictures;
};

// Reads the rest of the input once, without decoding, and keeps a record of every packet
// of the video stream in file order. A read error ends the scan like the end of input.
ScannedPackets scan_video_packets(VideoInput& input);
