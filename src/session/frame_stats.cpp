#include "frame_stats.hpp"

#include <algorithm>
#include <limits>
#include <numeric>

#include "batch_decoding.hpp"

namespace {

FrameStatsTable empty_table(std::size_t frames) {
    FrameStatsTable table;
    table.frame.resize(frames);
    std::iota(table.frame.begin(), table.frame.end(), 0);
    table.pts.resize(frames);
    table.seconds.resize(frames);
    table.picture_type.assign(frames, '\0');
    table.key_frame.assign(frames, 0);
    table.packet_bytes.assign(frames, 0);
    table.qp_mean.assign(frames, std::numeric_limits<double>::quiet_NaN());
    table.qp_min.assign(frames, -1);
    table.qp_max.assign(frames, -1);
    table.chroma_qp_offset_cb.assign(frames, 0);
    table.chroma_qp_offset_cr.assign(frames, 0);
    table.decoded.assign(frames, 0);
    return table;
}

void fill_scan_columns(const ScannedFile& file, FrameStatsTable& table) {
    const double seconds_per_tick = av_q2d(file.time_base);
    for (std::size_t i = 0; i < file.frame_pts.size(); ++i) {
        table.pts[i] = file.frame_pts[i];
        table.seconds[i] = static_cast<double>(file.frame_pts[i]) * seconds_per_tick;
    }
    for (const PacketInfo& packet : file.packets) {
        if (const auto found = file.pts_to_index.find(packet.pts); found != file.pts_to_index.end()) {
            table.packet_bytes[found->second] += packet.size;
        }
    }
}

// Each call writes only the row of its own frame, so calls for different frames may overlap.
void fill_picture_columns(const DecodedPicture& picture, FrameStatsTable& table) {
    const int32_t row = picture.frame;
    const CachedFrame& snapshot = *picture.snapshot;
    table.picture_type[row] = picture.kind.type;
    table.key_frame[row] = picture.kind.key ? 1 : 0;
    table.chroma_qp_offset_cb[row] = snapshot.chroma_qp_offset_cb;
    table.chroma_qp_offset_cr[row] = snapshot.chroma_qp_offset_cr;
    int64_t sum = 0;
    int64_t blocks = 0;
    int8_t lowest = std::numeric_limits<int8_t>::max();
    int8_t highest = -1;
    for (const int8_t qp : snapshot.qp_map) {
        if (qp >= 0) {
            sum += qp;
            ++blocks;
            lowest = std::min(lowest, qp);
            highest = std::max(highest, qp);
        }
    }
    if (blocks > 0) {
        table.qp_mean[row] = static_cast<double>(sum) / static_cast<double>(blocks);
        table.qp_min[row] = lowest;
        table.qp_max[row] = highest;
    }
}

}  // namespace

FrameStatsTable collect_frame_stats(const H264DecoderSession& session, int threads) {
    const ScannedFile file = session.scanned_file();
    FrameStatsTable table = empty_table(file.frame_pts.size());
    fill_scan_columns(file, table);
    std::vector<int32_t> every_frame(file.frame_pts.size());
    std::iota(every_frame.begin(), every_frame.end(), 0);
    table.decoded = decode_batch(session, every_frame, threads,
                                 [&table](const DecodedPicture& picture) { fill_picture_columns(picture, table); });
    return table;
}
