#include "index/stream_index.hpp"

#include <stdexcept>
#include <utility>

std::shared_ptr<const StreamIndex> scan_stream_index(VideoInput& input, const std::string& path) {
    auto index = std::make_shared<StreamIndex>();
    index->path = path;
    index->stream = input.stream();
    index->facts = read_stream_facts(input.video_stream());
    ScannedPackets scanned = scan_video_packets(input);
    if (scanned.packets.empty()) {
        throw std::runtime_error("No video packets found in: " + path);
    }
    index->packets = std::move(scanned.packets);
    index->frames_from_bitstream = number_frames_from_bitstream(index->packets, scanned.pictures);
    index->frames = build_frame_index(index->packets);
    index->interval_starts = index->frames.interval_starts();
    return index;
}
