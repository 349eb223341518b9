#include "batch/frame_stats.hpp"

#include <algorithm>
#include <limits>
#include <numeric>
#include <utility>

#include "batch/batch_decoding.hpp"
#include "frame/mb_type_map.hpp"

namespace {

// Rows for every frame of the file, in frame order; the requested ones are picked at the end.
FrameStatsTable empty_table(std::size_t frames, bool mb_types) {
    FrameStatsTable table;
    table.frame.resize(frames);
    std::iota(table.frame.begin(), table.frame.end(), 0);
    table.pts.resize(frames);
    table.seconds.resize(frames);
    table.picture_type.assign(frames, std::string());
    table.key_frame.assign(frames, 0);
    table.packet_bytes.assign(frames, 0);
    table.qp_mean.assign(frames, std::numeric_limits<double>::quiet_NaN());
    table.qp_min.assign(frames, -1);
    table.qp_max.assign(frames, -1);
    table.chroma_qp_offset_cb.assign(frames, 0);
    table.chroma_qp_offset_cr.assign(frames, 0);
    table.decoded.assign(frames, 0);
    table.damaged.assign(frames, 0);
    if (mb_types) {
        for (std::vector<int32_t>* counts : {&table.mb_intra, &table.mb_skip, &table.mb_direct, &table.mb_inter}) {
            counts->assign(frames, -1);
        }
    }
    return table;
}

void fill_scan_columns(const StreamIndex& index, FrameStatsTable& table) {
    const AVRational unit = index.pts_time_base();
    const std::vector<int64_t>& frame_pts = index.frames.frame_pts;
    for (std::size_t i = 0; i < frame_pts.size(); ++i) {
        table.pts[i] = frame_pts[i];
        table.seconds[i] = static_cast<double>(frame_pts[i]) * unit.num / unit.den;
    }
    table.packet_bytes = frame_packet_bytes(index);
}

void fill_mb_type_counts(int32_t row, const MbTypeMap& map, FrameStatsTable& table) {
    require_read_map(map, row);
    int32_t intra = 0;
    int32_t skip = 0;
    int32_t direct = 0;
    int32_t inter = 0;
    for (const MacroblockCoding& cell : map.cells) {
        const CountedKind kind = counted_kind(static_cast<MbType>(cell.type));
        intra += kind == CountedKind::Intra ? 1 : 0;
        skip += kind == CountedKind::Skip ? 1 : 0;
        direct += kind == CountedKind::Direct ? 1 : 0;
        inter += kind == CountedKind::Inter ? 1 : 0;
    }
    if (intra + skip + direct + inter == 0) {
        return;
    }
    table.mb_intra[row] = intra;
    table.mb_skip[row] = skip;
    table.mb_direct[row] = direct;
    table.mb_inter[row] = inter;
}

// Each call writes only the row of its own frame, so calls for different frames may overlap.
void fill_picture_columns(const DecodedPicture& picture, FrameStatsTable& table) {
    const int32_t row = picture.frame;
    const FrameSnapshot& snapshot = *picture.snapshot;
    table.picture_type[row] = snapshot.kind.type;
    table.key_frame[row] = snapshot.kind.key ? 1 : 0;
    table.damaged[row] = snapshot.kind.damaged ? 1 : 0;
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
    if (!table.mb_intra.empty()) {
        fill_mb_type_counts(row, snapshot.mb_types, table);
    }
}

// An empty column stays empty.
template <typename T>
void pick_rows(std::vector<T>& values, const std::vector<int32_t>& rows) {
    if (values.empty()) {
        return;
    }
    std::vector<T> picked;
    picked.reserve(rows.size());
    for (const int32_t row : rows) {
        picked.push_back(values[row]);
    }
    values = std::move(picked);
}

void pick_rows(FrameStatsTable& table, const std::vector<int32_t>& rows) {
    pick_rows(table.frame, rows);
    pick_rows(table.pts, rows);
    pick_rows(table.seconds, rows);
    pick_rows(table.picture_type, rows);
    pick_rows(table.key_frame, rows);
    pick_rows(table.packet_bytes, rows);
    pick_rows(table.qp_mean, rows);
    pick_rows(table.qp_min, rows);
    pick_rows(table.qp_max, rows);
    pick_rows(table.chroma_qp_offset_cb, rows);
    pick_rows(table.chroma_qp_offset_cr, rows);
    pick_rows(table.decoded, rows);
    pick_rows(table.damaged, rows);
    pick_rows(table.mb_intra, rows);
    pick_rows(table.mb_skip, rows);
    pick_rows(table.mb_direct, rows);
    pick_rows(table.mb_inter, rows);
}

}  // namespace

CountedKind counted_kind(MbType type) {
    switch (type) {
        case MbType::Intra4x4:
        case MbType::Intra16x16:
        case MbType::IntraPcm:
            return CountedKind::Intra;
        case MbType::Skip:
        case MbType::DirectSkip:
            return CountedKind::Skip;
        case MbType::Direct:
            return CountedKind::Direct;
        case MbType::L0:
        case MbType::L1:
        case MbType::Bi:
            return CountedKind::Inter;
        default:
            return CountedKind::None;
    }
}

std::vector<int64_t> frame_packet_bytes(const StreamIndex& index) {
    std::vector<int64_t> bytes(static_cast<std::size_t>(index.num_frames()), 0);
    for (const PacketInfo& packet : index.packets) {
        if (const int32_t frame = index.frames.frame_of_pts(packet.frame_pts); frame >= 0) {
            bytes[static_cast<std::size_t>(frame)] += packet.size;
        }
    }
    return bytes;
}

FrameStatsTable collect_frame_stats(const std::shared_ptr<const StreamIndex>& index, const SessionOptions& options,
                                    const std::vector<int32_t>& frames, int threads) {
    FrameStatsTable table = empty_table(index->frames.frame_pts.size(), options.mb_types);
    fill_scan_columns(*index, table);
    std::vector<int32_t> distinct = frames;
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    const std::vector<uint8_t> delivered = decode_batch(
        index, options, distinct, threads,
        [&table](const DecodedPicture& picture) { fill_picture_columns(picture, table); }, false);
    for (std::size_t i = 0; i < distinct.size(); ++i) {
        table.decoded[distinct[i]] = delivered[i];
    }
    pick_rows(table, frames);
    return table;
}
