#include "reconstruct/residual_stats.hpp"

#include <algorithm>

#include "reconstruct/rebuilt_picture.hpp"

namespace {

bool read_whole(const FrameSyntax& syntax) {
    return !syntax.coded_records.empty() &&
           std::all_of(syntax.coded_records.begin(), syntax.coded_records.end(),
                       [](const MbSyntaxRecord& mb) { return mb.parsed != 0; });
}

double mean_square(const std::vector<int16_t>& samples) {
    double sum = 0;
    for (const int16_t sample : samples) {
        sum += static_cast<double>(sample) * sample;
    }
    return sum / static_cast<double>(samples.size());
}

ResidualEnergy energy_of(const FrameSyntax& syntax) {
    ResidualEnergy energy;
    if (!read_whole(syntax)) {
        return energy;
    }
    RebuiltPicture picture;
    rebuild_residual(syntax, picture);
    for (int plane = 0; plane < 3; ++plane) {
        if (!picture.residual[plane].empty()) {
            energy.plane[plane] = mean_square(picture.residual[plane]);
        }
    }
    return energy;
}

}  // namespace

ResidualStatsTable collect_residual_stats(const std::shared_ptr<const StreamIndex>& index,
                                          const SessionOptions& options, FrameSyntaxReader& reader,
                                          const std::vector<int32_t>& frames, int threads) {
    ResidualStatsTable table;
    table.energy.resize(frames.size());
    // Each position is taken once, by one reader: the rows need no lock.
    table.syntax = collect_syntax_stats(
        index, options, reader, frames, threads,
        [&table](std::size_t position, const FrameSyntax& syntax) { table.energy[position] = energy_of(syntax); },
        SyntaxDepth::Levels);
    return table;
}
