#pragma once

#include <cstdint>
#include <functional>
#include <vector>

extern "C" {
#include <libavcodec/packet.h>
}

#include "index/packet_scan.hpp"

// How the locator moves a demuxer: to the packet a decoding timestamp lies in (at or before
// it), or to a byte position. Each returns whether the demuxer accepted the seek. A
// VideoInput's in the program; scripted in the native tests.
struct DemuxerSeeks {
    std::function<bool(int64_t timestamp)> to_timestamp;
    std::function<bool(int64_t byte)> to_byte;
};

// Brings a demuxer to a key packet of the scan and tells which packet of the scan each
// packet read afterwards is.
//
// Where every packet carries a timestamp, the seek goes by the key packet's decoding
// timestamp and the key packet is recognised by its byte position (else its decoding
// timestamp). Where packets carry none (raw Annex B, and the packets an MPEG-PS parser cuts
// from the middle of a PES), the seek goes to the nearest packet at or before the key packet
// whose byte position the demuxer reported, and the packets from there on are counted and
// checked against the sizes the scan recorded.
//
// A seek the demuxer refuses leaves it where it was; the packets read next then tell where
// that is, like those of a seek that lands early or late, so no seek's result needs a
// check of its own except that of the last resort, the rewind to the file's first packet.
class PacketLocator {
public:
    enum class Arrival { Before, AtStart, Lost };

    // `packets` must outlive the locator.
    PacketLocator(const std::vector<PacketInfo>& packets, bool count_packets, DemuxerSeeks seeks);

    void seek(int32_t start_packet);

    // For each video packet read after seek(), until it answers AtStart: Before, drop the
    // packet; AtStart, the packet is the key packet sought; Lost, the demuxer cannot be
    // brought there, so nothing of this run may be decoded.
    Arrival arrive(const AVPacket& packet);

    // After AtStart: takes the packet read as the one at `expected` in the scan, or returns
    // false when it is another. Counted packets get their frame number as timestamp, the
    // only way a decoded picture of theirs can be told apart.
    bool take(AVPacket& packet, int32_t expected) const;

private:
    bool matches(const AVPacket& packet, int32_t expected) const;
    bool seek_to_anchor();
    Arrival arrive_by_position(const AVPacket& packet);
    Arrival arrive_by_count(const AVPacket& packet);
    bool rewind_to_first_packet();

    const std::vector<PacketInfo>& packets_;
    const bool by_count_;
    DemuxerSeeks seeks_;
    int32_t start_ = 0;
    // Counting: the packet sought to, and the one read last once that has been recognised.
    int32_t anchor_ = 0;
    int32_t counted_ = -1;
    // By position: whether the demuxer has been sent back to the first packet in this run.
    bool rewound_ = false;
};
