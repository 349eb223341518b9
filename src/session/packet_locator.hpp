#pragma once

#include <cstdint>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "frame_index.hpp"

// Brings the demuxer to a key packet of the scan and tells which packet of the scan each
// packet read afterwards is.
//
// Where every packet carries a timestamp, the seek goes by the key packet's decoding
// timestamp and the key packet is recognised by its byte position (else its decoding
// timestamp). Where packets carry none (raw Annex B, and the packets an MPEG-PS parser cuts
// from the middle of a PES), the seek goes to the nearest packet at or before the key packet
// whose byte position the demuxer reported, and the packets from there on are counted and
// checked against the sizes the scan recorded.
class PacketLocator {
public:
    enum class Arrival { Before, AtStart, Lost };

    void count_packets(bool counting) { by_count = counting; }

    void seek(AVFormatContext* fmt_ctx, int stream_index, const std::vector<PacketInfo>& packets, int32_t start);

    // For each video packet read after seek(), until it answers AtStart: Before, drop the
    // packet; AtStart, the packet is the key packet sought; Lost, the demuxer cannot be
    // brought there, so nothing of this run may be decoded.
    Arrival arrive(AVFormatContext* fmt_ctx, int stream_index, const std::vector<PacketInfo>& packets,
                   const AVPacket& packet);

    // After AtStart: takes the packet read as the one at `expected` in the scan, or returns
    // false when it is another. Counted packets get their frame number as timestamp, the
    // only way a decoded picture of theirs can be told apart.
    bool take(const std::vector<PacketInfo>& packets, AVPacket& packet, int32_t expected) const;

private:
    bool matches(const std::vector<PacketInfo>& packets, const AVPacket& packet, int32_t expected) const;
    void seek_to_anchor(AVFormatContext* fmt_ctx, int stream_index, const std::vector<PacketInfo>& packets);
    Arrival arrive_by_position(AVFormatContext* fmt_ctx, int stream_index, const std::vector<PacketInfo>& packets,
                               const AVPacket& packet);
    Arrival arrive_by_count(AVFormatContext* fmt_ctx, int stream_index, const std::vector<PacketInfo>& packets,
                            const AVPacket& packet);
    bool rewind_to_first_packet(AVFormatContext* fmt_ctx, int stream_index, const std::vector<PacketInfo>& packets);

    bool by_count = false;
    int32_t start = 0;
    // Counting: the packet sought to, and the one read last once that has been recognised.
    int32_t anchor = 0;
    int32_t counted = -1;
    bool rewound = false;
};
