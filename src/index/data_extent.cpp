#include "index/data_extent.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <string_view>
#include <vector>

extern "C" {
#include <libavutil/dict.h>
}

namespace {

// Packets of an MPEG-TS file are 188 bytes, 192 in Blu-ray's M2TS, 204 with Reed-Solomon
// parity; a file cut anywhere else ends inside one, which the demuxer drops without a word.
constexpr int64_t kTransportPacketSizes[] = {188, 192, 204};

// Frames by which the packets may fall short of the declared duration: the last frame's own
// duration and a container's rounding of it.
constexpr double kDurationSlackFrames = 2.0;

// Matroska's muxers write each track's duration as a tag, "HH:MM:SS.nnnnnnnnn"; the segment's
// duration covers every track, the longest of which need not be the video.
std::optional<double> tagged_duration(const AVStream& stream) {
    const AVDictionaryEntry* tag = av_dict_get(stream.metadata, "DURATION", nullptr, 0);
    unsigned hours = 0;
    unsigned minutes = 0;
    double seconds = 0;
    if (tag == nullptr || std::sscanf(tag->value, "%u:%u:%lf", &hours, &minutes, &seconds) != 3) {
        return std::nullopt;
    }
    return hours * 3600.0 + minutes * 60.0 + seconds;
}

std::optional<double> declared_duration(const AVFormatContext& demuxer, const AVStream& stream) {
    if (const std::optional<double> tagged = tagged_duration(stream)) {
        return tagged;
    }
    // Otherwise FFmpeg estimated the durations itself, from the timestamps it read at the
    // file's end or from the bit rate: a cut file's estimate agrees with its cut data.
    if (demuxer.duration_estimation_method != AVFMT_DURATION_FROM_STREAM) {
        return std::nullopt;
    }
    if (stream.duration > 0 && stream.duration != AV_NOPTS_VALUE) {
        return static_cast<double>(stream.duration) * av_q2d(stream.time_base);
    }
    if (demuxer.duration > 0 && demuxer.duration != AV_NOPTS_VALUE) {
        return static_cast<double>(demuxer.duration) / AV_TIME_BASE;
    }
    return std::nullopt;
}

// Seconds from the first packet's presentation to the end of the last one shown.
std::optional<double> packets_span(const std::vector<PacketInfo>& packets, AVRational time_base, double fps) {
    int64_t first = INT64_MAX;
    int64_t last = INT64_MIN;
    for (const PacketInfo& packet : packets) {
        if (packet.container_pts != AV_NOPTS_VALUE && !packet.discarded) {
            first = std::min(first, packet.container_pts);
            last = std::max(last, packet.container_pts);
        }
    }
    if (first > last) {
        return std::nullopt;
    }
    return static_cast<double>(last - first) * av_q2d(time_base) + 1.0 / fps;
}

bool ends_inside_transport_packet(const AVFormatContext& demuxer) {
    if (demuxer.iformat == nullptr || std::string_view(demuxer.iformat->name) != "mpegts" || demuxer.pb == nullptr) {
        return false;
    }
    const int64_t size = avio_size(demuxer.pb);
    return size > 0 && std::none_of(std::begin(kTransportPacketSizes), std::end(kTransportPacketSizes),
                                    [size](int64_t packet) { return size % packet == 0; });
}

}  // namespace

DataExtent measure_data_extent(const AVFormatContext& demuxer, const AVStream& stream, const ScannedPackets& scanned,
                               double fps) {
    DataExtent extent;
    extent.declared_duration = declared_duration(demuxer, stream);
    if (stream.nb_frames > 0) {
        extent.declared_frames = stream.nb_frames;
    }
    const std::optional<double> span = packets_span(scanned.packets, stream.time_base, fps);
    const bool short_of_duration = extent.declared_duration && span &&
                                   *span + kDurationSlackFrames / fps < *extent.declared_duration;
    const bool short_of_count =
        extent.declared_frames && static_cast<int64_t>(scanned.packets.size()) < *extent.declared_frames;
    extent.truncated =
        scanned.last_packet_cut || short_of_count || short_of_duration || ends_inside_transport_packet(demuxer);
    return extent;
}
