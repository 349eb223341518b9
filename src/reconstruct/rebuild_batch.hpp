#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "ffmpeg/session_options.hpp"
#include "index/stream_index.hpp"
#include "reconstruct/motion_field.hpp"
#include "reconstruct/rebuilt_picture.hpp"
#include "syntax/frame_syntax_reader.hpp"
#include "system/large_buffer.hpp"

// Many frames' residuals or motion fields at once: their syntax read with its levels as
// read_syntax_of_frames reads it (on `threads` readers, 0 for every usable core, the first
// with `reader`; Ctrl-C asked for as there), each frame rebuilt on the reader that read it.
// One result per position of `frames`; the first frame that cannot be rebuilt (a field
// picture, syntax that could not be read) raises its error.

// Each plane of every frame of a batch, one frame after the other in one buffer of
// frames × height × width samples: the residuals go there straight from the reader's
// thread, not by way of a picture of their own each.
struct ResidualStack {
    int width[3] = {0, 0, 0};
    int height[3] = {0, 0, 0};
    LargeBuffer<int16_t> planes[3];
    // The frame whose size the others must have.
    int32_t sized_by = -1;
};

// Every frame must have the first one's coded size: another raises std::invalid_argument.
ResidualStack rebuild_residuals_of_frames(const std::shared_ptr<const StreamIndex>& index,
                                          const SessionOptions& options, FrameSyntaxReader& reader,
                                          const std::vector<int32_t>& frames, int threads);

// Each frame's motion field on the coded grid of 4x4 blocks, one frame after the other in one
// buffer of frames × rows × columns blocks, written there from the reader's thread.
struct MotionStack {
    LargeBuffer<MotionRecord> blocks;
    int32_t rows = 0;
    int32_t columns = 0;
    // The frame whose size the others must have.
    int32_t sized_by = -1;
};

// Every frame must have the first one's coded size: another raises std::invalid_argument.
MotionStack build_motion_fields_of_frames(const std::shared_ptr<const StreamIndex>& index,
                                          const SessionOptions& options, FrameSyntaxReader& reader,
                                          const std::vector<int32_t>& frames, int threads);
