#include "index/stream_index.hpp"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "ffmpeg/ffmpeg_messages.hpp"
#include "index/frame_numbering.hpp"
#include "index/recovery_points.hpp"

namespace {

// A stream whose window starts to the right of or below the coded picture's corner: the
// decoder's pictures differ from the size the container reports (FFmpeg applies a left crop
// only where it keeps the planes aligned), and they are what the session's facts describe.
void take_decoder_picture_size(StreamFacts& facts, const std::optional<CodedWindow>& window) {
    if (!window || (window->left == 0 && window->top == 0)) {
        return;
    }
    if (const std::optional<CropOffsets> cropped = predict_decoder_crop(facts.pixel_format, *window)) {
        facts.width = cropped->width;
        facts.height = cropped->height;
        facts.mb_cols = (facts.width + 15) / 16;
        facts.mb_rows = (facts.height + 15) / 16;
    }
}

// For a stream the H.264 parser cannot read, every timestamped picture is output: the
// earliest is the first.
int32_t earliest_timestamp_packet(const std::vector<PacketInfo>& packets) {
    const auto earliest = std::min_element(packets.begin(), packets.end(), [](const PacketInfo& a, const PacketInfo& b) {
        return a.pts != AV_NOPTS_VALUE && (b.pts == AV_NOPTS_VALUE || a.pts < b.pts);
    });
    return earliest->pts != AV_NOPTS_VALUE ? static_cast<int32_t>(earliest - packets.begin()) : -1;
}

int32_t first_output_packet(const ScannedPackets& scanned, const FirstOutputFinder& find_first_output) {
    if (scanned.pictures.empty()) {
        return earliest_timestamp_packet(scanned.packets);
    }
    const int32_t idr = leading_idr_packet(scanned.pictures);
    return idr >= 0 ? idr : find_first_output(scanned.packets);
}

}  // namespace

// Each frame is one frame-duration of the stream's rate long; the rate is never zero.
AVRational StreamIndex::pts_time_base() const {
    return frames_from_bitstream ? AVRational{facts.fps_den, facts.fps_num} : facts.time_base;
}

std::shared_ptr<const StreamIndex> scan_stream_index(VideoInput& input, const std::string& path,
                                                     const FirstOutputFinder& find_first_output,
                                                     const OutputOrderFinder& find_output_order) {
    const MessageContext messages(path);
    auto index = std::make_shared<StreamIndex>();
    index->path = path;
    index->file = identify_file(path);
    index->stream = input.stream();
    index->facts = read_stream_facts(input.video_stream());
    ScannedPackets scanned = scan_video_packets(input, false);
    if (!scanned.pictures.empty() && !scanned.with_order_counts &&
        !numbered_by_timestamps(scanned.packets, scanned.pictures)) {
        // Timestamps that repeat or start again (joined recordings), or that some packets lack:
        // the bitstream numbers the frames, and its order counts are read in a second pass,
        // over a demuxer of its own, which such files alone pay for.
        VideoInput again(path, input.stream(), SessionOptions{});
        scanned = scan_video_packets(again, true);
    }
    if (scanned.packets.empty()) {
        throw std::runtime_error("No video packets found in: " + path);
    }
    take_decoder_picture_size(index->facts, scanned.first_window);
    index->extent = measure_data_extent(*input.demuxer(), input.video_stream(), scanned, index->facts.fps);
    if (scanned.pictures.empty() && find_output_order && !numbered_by_timestamps(scanned.packets, {})) {
        // Without the codec's headers, only the decoder tells which packets' pictures come
        // out and in which order: such files pay a decode of the whole file at opening.
        const std::vector<int32_t> order = find_output_order(scanned.packets);
        index->packets = std::move(scanned.packets);
        number_by_output_order(index->packets, order);
        index->frames_from_bitstream = true;
    } else {
        const int32_t first_output = first_output_packet(scanned, find_first_output);
        index->packets = std::move(scanned.packets);
        index->frames_from_bitstream = number_frames(index->packets, scanned.pictures, first_output);
        find_recovery_pictures(index->packets, scanned.pictures);
    }
    index->frames = build_frame_index(index->packets);
    if (index->frames.count() == 0) {
        throw std::runtime_error("No video frames found in: " + path);
    }
    index->interval_starts = index->frames.interval_starts();
    index->parameter_sets = std::move(scanned.parameter_sets);
    return index;
}
