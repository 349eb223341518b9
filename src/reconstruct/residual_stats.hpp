#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "ffmpeg/session_options.hpp"
#include "index/stream_index.hpp"
#include "syntax/frame_syntax_reader.hpp"
#include "syntax/syntax_stats.hpp"

// Of each plane (Y, Cb, Cr), the mean of the squares of the residual samples over the plane's
// coded area, in squared sample units at the stream's bit depth: how much the encoder coded
// on top of its prediction, per sample. NaN for a plane the stream does not have
// (monochrome), and for every plane of a frame not read whole, whose residual is not rebuilt.
struct ResidualEnergy {
    double plane[3] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::quiet_NaN(),
                       std::numeric_limits<double>::quiet_NaN()};
};

// syntax_stats' table with each frame's residual energy: the frames read with their levels,
// each frame's residual rebuilt on the reader that read it.
struct ResidualStatsTable {
    SyntaxStatsTable syntax;
    std::vector<ResidualEnergy> energy;
};

ResidualStatsTable collect_residual_stats(const std::shared_ptr<const StreamIndex>& index,
                                          const SessionOptions& options, FrameSyntaxReader& reader,
                                          const std::vector<int32_t>& frames, int threads);
