#include "reconstruct/rebuild_batch.hpp"

#include <algorithm>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "reconstruct/motion_field_memo.hpp"
#include "syntax/syntax_batch.hpp"

namespace {

std::size_t plane_size(const ResidualStack& stack, int plane) {
    return static_cast<std::size_t>(stack.width[plane]) * static_cast<std::size_t>(stack.height[plane]);
}

// Reads the frames with their levels and gives each to `rebuild` with its position; each
// position is taken once, by one reader, so the results need no lock. A frame no packet
// holds is never read: as get_residual says of it.
template <typename Rebuild>
void rebuild_frames(const std::shared_ptr<const StreamIndex>& index, const SessionOptions& options,
                    FrameSyntaxReader& reader, const std::vector<int32_t>& frames, int threads, SyntaxDepth depth,
                    Rebuild rebuild) {
    std::vector<uint8_t> taken(frames.size(), 0);
    read_syntax_of_frames(
        index, options, reader, frames, threads,
        [&](std::size_t position, const FrameSyntax& syntax) {
            rebuild(position, syntax);
            taken[position] = 1;
        },
        depth);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        if (taken[i] == 0) {
            throw std::runtime_error("No packet holds frame " + std::to_string(frames[i]));
        }
    }
}

// A batch is one array: its frames must share the coded size of the first one read.
std::invalid_argument another_size(int32_t frame, int32_t sized_by) {
    return std::invalid_argument("Frame " + std::to_string(frame) + " has another coded size than frame " +
                                 std::to_string(sized_by) + ": read frames of one size in a batch");
}

// Sizes the stack after the first frame read, and checks every other frame against it.
void fit_stack(const CoefficientPlanes& levels, const std::vector<int32_t>& frames, std::size_t position,
               ResidualStack& stack) {
    if (stack.planes[0]) {
        for (int plane = 0; plane < 3; ++plane) {
            if (levels.width[plane] != stack.width[plane] || levels.height[plane] != stack.height[plane]) {
                throw another_size(frames[position], stack.sized_by);
            }
        }
        return;
    }
    stack.sized_by = frames[position];
    for (int plane = 0; plane < 3; ++plane) {
        stack.width[plane] = levels.width[plane];
        stack.height[plane] = levels.height[plane];
        // Left uninitialised: each frame clears its part before its residual is written.
        stack.planes[plane] = allocate_large_buffer<int16_t>(frames.size() * plane_size(stack, plane));
    }
}

// Sizes the stack after the first frame built, and checks every other frame against it.
void fit_motion_stack(const FrameSyntax& syntax, const std::vector<int32_t>& frames, std::size_t position,
                      MotionStack& stack) {
    const int32_t columns = 4 * syntax.coded_cols;
    const auto rows =
        static_cast<int32_t>(4 * syntax.coded_records.size() / static_cast<std::size_t>(syntax.coded_cols));
    if (stack.blocks) {
        if (columns != stack.columns || rows != stack.rows) {
            throw another_size(frames[position], stack.sized_by);
        }
        return;
    }
    stack.sized_by = frames[position];
    stack.columns = columns;
    stack.rows = rows;
    stack.blocks = allocate_large_buffer<MotionRecord>(frames.size() * static_cast<std::size_t>(rows) *
                                                      static_cast<std::size_t>(columns));
}

}  // namespace

ResidualStack rebuild_residuals_of_frames(const std::shared_ptr<const StreamIndex>& index,
                                          const SessionOptions& options, FrameSyntaxReader& reader,
                                          const std::vector<int32_t>& frames, int threads) {
    ResidualStack stack;
    std::mutex sizing;
    rebuild_frames(index, options, reader, frames, threads, SyntaxDepth::Levels,
                   [&](std::size_t position, const FrameSyntax& syntax) {
                       require_rebuildable(syntax);
                       {
                           const std::lock_guard<std::mutex> lock(sizing);
                           fit_stack(syntax.coefficients, frames, position, stack);
                       }
                       // Each frame's residual goes to its own part of the stack, no lock needed.
                       ResidualPlanes target;
                       for (int plane = 0; plane < 3; ++plane) {
                           const std::size_t size = plane_size(stack, plane);
                           target.plane[plane] = stack.planes[plane].get() + position * size;
                           std::fill_n(target.plane[plane], size, int16_t{0});
                       }
                       rebuild_residual(syntax, target);
                   });
    return stack;
}

MotionStack build_motion_fields_of_frames(const std::shared_ptr<const StreamIndex>& index,
                                          const SessionOptions& options, FrameSyntaxReader& reader,
                                          const std::vector<int32_t>& frames, int threads) {
    MotionStack stack;
    std::mutex sizing;
    // The batch's readers are busy with their runs: the co-located pictures of direct
    // prediction are read by readers of their own, opened where a frame needs one and kept
    // for the frames after it, unless the memo of the fields built last holds theirs.
    MotionFieldMemo memo;
    std::mutex spare_lock;
    std::vector<std::unique_ptr<FrameSyntaxReader>> spare;
    // Motion needs no levels: the planes they would fill are neither allocated nor written.
    rebuild_frames(index, options, reader, frames, threads, SyntaxDepth::Context,
                   [&](std::size_t position, const FrameSyntax& syntax) {
        std::unique_ptr<FrameSyntaxReader> own;
        const SyntaxSource source = [&](int32_t frame, FrameSyntax& read) {
            if (!own) {
                const std::lock_guard<std::mutex> lock(spare_lock);
                if (spare.empty()) {
                    own = std::make_unique<FrameSyntaxReader>(index, options);
                } else {
                    own = std::move(spare.back());
                    spare.pop_back();
                }
            }
            own->read(frame, SyntaxDepth::Context, read);
        };
        const std::size_t blocks = motion_field_blocks(syntax);
        {
            const std::lock_guard<std::mutex> lock(sizing);
            fit_motion_stack(syntax, frames, position, stack);
        }
        // Each frame's field is built in its own part of the stack, no lock needed, and kept
        // there for the frames after it: the stack outlives the memo.
        MotionRecord* const field = stack.blocks.get() + position * blocks;
        build_motion_field(syntax, source, field, &memo);
        memo.keep_built_at(frames[position], syntax, field);
        if (own) {
            const std::lock_guard<std::mutex> lock(spare_lock);
            spare.push_back(std::move(own));
        }
    });
    return stack;
}
