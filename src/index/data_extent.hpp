#pragma once

#include <cstdint>
#include <optional>

extern "C" {
#include <libavformat/avformat.h>
}

#include "index/packet_scan.hpp"

// How much of the video stream the file holds, against what its container declares of it:
// read once by the opening scan, for the tables that tell a whole file from a cut one.
struct DataExtent {
    // The stream's duration in seconds as the container declares it: Matroska's DURATION tag
    // of the track, else the duration the header gives the stream or the file (MP4's track
    // header, Matroska's segment, AVI's header). None where FFmpeg only estimated it from the
    // timestamps or the bit rate (MPEG-TS, raw streams).
    std::optional<double> declared_duration;
    // The stream's packet count as the container's index declares it (MP4's sample table,
    // AVI's header); none where it declares none.
    std::optional<int64_t> declared_frames;
    // Whether the data ends before the container's structure says it does: the last packet
    // came short of the size the container gave it, the index lists packets the file does
    // not hold, the packets end well before the declared duration, or an MPEG-TS file ends
    // inside one of its fixed-size packets.
    bool truncated = false;
};

DataExtent measure_data_extent(const AVFormatContext& demuxer, const AVStream& stream, const ScannedPackets& scanned,
                               double fps);
