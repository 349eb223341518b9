#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "ffmpeg/session_options.hpp"
#include "index/stream_index.hpp"
#include "syntax/frame_summary.hpp"
#include "syntax/frame_syntax_reader.hpp"

// One row per requested frame, in the order requested: what the scan knows of it (as
// frame_stats gives it) and the summary of its syntax.
struct SyntaxStatsTable {
    std::vector<int32_t> frame;
    // In StreamIndex::pts_time_base() units, and in seconds.
    std::vector<int64_t> pts;
    std::vector<double> seconds;
    // Compressed bytes of the packets whose data makes the frame (both fields of a pair).
    std::vector<int64_t> packet_bytes;
    // A frame no packet holds keeps FrameSummary's empty row.
    std::vector<FrameSummary> summaries;
};

// Reads the frames' syntax as read_syntax_of_frames does, on `threads` readers (0: every
// usable core), and summarises each; `frames` are valid frame numbers, repeats allowed.
// `also`, where given, sees each frame's syntax too (read to `depth`), on the
// reader's thread, once per position.
using FrameSyntaxTaker = std::function<void(std::size_t position, const FrameSyntax& syntax)>;
SyntaxStatsTable collect_syntax_stats(const std::shared_ptr<const StreamIndex>& index, const SessionOptions& options,
                                      FrameSyntaxReader& reader, const std::vector<int32_t>& frames, int threads,
                                      const FrameSyntaxTaker& also = nullptr,
                                      SyntaxDepth depth = SyntaxDepth::Records);
