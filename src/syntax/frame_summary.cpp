#include "syntax/frame_summary.hpp"

#include <algorithm>
#include <iterator>

#include "batch/frame_stats.hpp"
#include "frame/mb_type_map.hpp"
#include "syntax/slice_syntax_header.hpp"

namespace {

// AVPictureType's letters for a slice_type % 5, as FFmpeg names a picture by its first slice.
std::string picture_type_of(int slice_kind) {
    switch (slice_kind) {
        case kSliceP:
            return "P";
        case kSliceB:
            return "B";
        case kSliceI:
            return "I";
        case kSliceSP:
            return "SP";
        case kSliceSI:
            return "SI";
        default:
            return "";
    }
}

// mb_qp_delta is coded where the macroblock has a residual: Intra 16x16 always, the others
// with a nonzero coded block pattern (skipped and I_PCM macroblocks have cbp -1).
bool codes_qp(const MbSyntaxRecord& record) {
    return static_cast<MbType>(record.type) == MbType::Intra16x16 || record.cbp > 0;
}

// The 8x8 blocks of the macroblock coded in partitions smaller than 8x8: mb_type P_8x8 and
// P_8x8ref0 (3, 4 in P and SP slices, Table 7-13) with sub_mb_type 1 to 3 (Table 7-17), and
// B_8x8 (22 in B slices, Table 7-14) with sub_mb_type 4 to 12 (Table 7-18).
int sub8x8_blocks(const MbSyntaxRecord& record) {
    if (record.partition != static_cast<uint8_t>(Partition::P8x8)) {
        return 0;
    }
    const int smallest_8x8 = record.mb_type == 22 ? 3 : 0;
    return static_cast<int>(std::count_if(std::begin(record.sub_mb_type), std::end(record.sub_mb_type),
                                          [&](int8_t sub) { return sub > smallest_8x8; }));
}

struct QpTotals {
    int64_t sum = 0;
    int64_t count = 0;

    void add(int8_t qp) {
        sum += qp;
        ++count;
    }
    double mean() const {
        return count > 0 ? static_cast<double>(sum) / static_cast<double>(count) : std::numeric_limits<double>::quiet_NaN();
    }
};

void add_macroblock(const MbSyntaxRecord& record, FrameSummary& summary, QpTotals& all, QpTotals& coded,
                    int64_t& sub8x8) {
    sub8x8 += sub8x8_blocks(record);
    switch (counted_kind(static_cast<MbType>(record.type))) {
        case CountedKind::Intra:
            ++summary.mb_intra;
            break;
        case CountedKind::Skip:
            ++summary.mb_skip;
            break;
        case CountedKind::Direct:
            ++summary.mb_direct;
            break;
        case CountedKind::Inter:
            ++summary.mb_inter;
            break;
        case CountedKind::None:
            break;
    }
    summary.bits_header += record.bits_header;
    summary.bits_prediction += record.bits_prediction;
    summary.bits_residual += record.bits_residual;
    if (record.qp < 0) {
        return;
    }
    all.add(record.qp);
    summary.qp_min = summary.qp_min < 0 ? record.qp : std::min(summary.qp_min, record.qp);
    summary.qp_max = std::max(summary.qp_max, record.qp);
    if (codes_qp(record)) {
        coded.add(record.qp);
    }
}

}  // namespace

FrameSummary summarise_frame(const FrameSyntax& syntax) {
    FrameSummary summary;
    summary.picture_type = picture_type_of(syntax.facts.first_slice_kind);
    summary.key = syntax.facts.key ? 1 : 0;
    const auto read = std::count_if(syntax.records.begin(), syntax.records.end(),
                                    [](const MbSyntaxRecord& record) { return record.parsed != 0; });
    summary.parsed = !syntax.records.empty() && read == static_cast<std::ptrdiff_t>(syntax.records.size()) ? 1 : 0;
    if (read == 0) {
        return summary;
    }
    summary.mb_intra = summary.mb_skip = summary.mb_direct = summary.mb_inter = 0;
    summary.bits_header = summary.bits_prediction = summary.bits_residual = 0;
    summary.nonzero_coefficients = syntax.nonzero_levels;
    QpTotals all;
    QpTotals coded;
    int64_t sub8x8 = 0;
    for (const MbSyntaxRecord& record : syntax.records) {
        if (record.parsed != 0) {
            add_macroblock(record, summary, all, coded, sub8x8);
        }
    }
    summary.sub8x8_share = static_cast<double>(sub8x8) / static_cast<double>(4 * read);
    summary.qp_mean = all.mean();
    summary.qp_mean_coded = coded.mean();
    return summary;
}
