#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "ffmpeg/video_input.hpp"
#include "h264/header_reader.hpp"

// One packet of the video stream as the demuxer delivered it during the scan, and the frame
// the numbering gave it.
struct PacketInfo {
    // The timestamp the decoder sees with the packet: the container's, or, where frames are
    // numbered from the bitstream, the frame number the packet is stamped with on its way to
    // the decoder (AV_NOPTS_VALUE for a packet that begins no frame).
    int64_t pts;
    int64_t dts;
    // The container's presentation timestamp, whatever the numbering made of `pts`: what a
    // demuxer that seeks by timestamps finds the packet by.
    int64_t container_pts;
    int64_t pos;
    int32_t size;
    bool is_key;
    int32_t decode_order;
    // Marked by the demuxer as not to be shown (the pre-roll an MP4 edit list hides): the
    // decoder decodes it for the pictures that follow and outputs nothing for it.
    bool discarded = false;
    // The timestamp, in the same terms as `pts`, of the frame whose picture this packet's
    // data makes or completes (the second field of a pair its first field's), or
    // AV_NOPTS_VALUE where the decoder outputs none for it.
    int64_t frame_pts = AV_NOPTS_VALUE;
    // For a key packet at a recovery point, the timestamp (in the terms of `pts`) of the
    // first picture FFmpeg's decoder outputs when it starts there: it withholds every picture
    // shown before the one that completes the recovery (the largest int64_t where the stream
    // ends before). AV_NOPTS_VALUE: its own picture's.
    int64_t shown_from_pts = AV_NOPTS_VALUE;
};

struct ScannedPackets {
    std::vector<PacketInfo> packets;
    // What was read from each packet's H.264 headers, in the same order; empty where the
    // stream is not H.264.
    std::vector<PictureOrder> pictures;
    // Whether `pictures` hold picture order counts (H264HeaderReader).
    bool with_order_counts = false;
    // The display window of the first picture's sequence parameter set, where it was read.
    std::optional<CodedWindow> first_window;
    ParameterSetHistory parameter_sets;
    // Whether the demuxer read the last packet short of the size the container gave it: the
    // file ends inside it.
    bool last_packet_cut = false;
};

// Reads the rest of the input once, without decoding, and keeps a record of every packet
// of the video stream in file order. A read error ends the scan like the end of input.
// Picture order counts are read where asked for, and where the first packet has no
// timestamp: such a stream's frames are numbered from the bitstream in any case.
ScannedPackets scan_video_packets(VideoInput& input, bool with_order_counts);
