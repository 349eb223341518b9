#include "syntax/syntax_stats.hpp"

#include "batch/frame_stats.hpp"
#include "syntax/syntax_batch.hpp"

SyntaxStatsTable collect_syntax_stats(const std::shared_ptr<const StreamIndex>& index, const SessionOptions& options,
                                      FrameSyntaxReader& reader, const std::vector<int32_t>& frames, int threads,
                                      const FrameSyntaxTaker& also, SyntaxDepth depth) {
    SyntaxStatsTable table;
    const AVRational unit = index->pts_time_base();
    const std::vector<int64_t> bytes = frame_packet_bytes(*index);
    for (const int32_t frame : frames) {
        const int64_t pts = index->frames.frame_pts[static_cast<std::size_t>(frame)];
        table.frame.push_back(frame);
        table.pts.push_back(pts);
        table.seconds.push_back(static_cast<double>(pts) * unit.num / unit.den);
        table.packet_bytes.push_back(bytes[static_cast<std::size_t>(frame)]);
    }
    table.summaries.resize(frames.size());
    // Each position is taken once, by one reader: the rows need no lock.
    read_syntax_of_frames(
        index, options, reader, frames, threads,
        [&](std::size_t position, const FrameSyntax& syntax) {
            table.summaries[position] = summarise_frame(syntax);
            if (also) {
                also(position, syntax);
            }
        },
        depth);
    return table;
}
