#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "ffmpeg/session_options.hpp"
#include "index/stream_index.hpp"
#include "reconstruct/motion_field.hpp"
#include "reconstruct/rebuilt_picture.hpp"
#include "syntax/frame_syntax_reader.hpp"

// Many frames' residuals or motion fields at once: their syntax read with its levels as
// read_syntax_of_frames reads it (on `threads` readers, 0 for every usable core, the first
// with `reader`; Ctrl-C asked for as there), each frame rebuilt on the reader that read it.
// One result per position of `frames`; the first frame that cannot be rebuilt (a field
// picture, syntax that could not be read) raises its error.

std::vector<RebuiltPicture> rebuild_residuals_of_frames(const std::shared_ptr<const StreamIndex>& index,
                                                        const SessionOptions& options, FrameSyntaxReader& reader,
                                                        const std::vector<int32_t>& frames, int threads);

// Each field on the coded grid of 4x4 blocks, with its width in blocks.
struct FrameMotionField {
    std::vector<MotionRecord> blocks;
    int32_t columns = 0;
};

std::vector<FrameMotionField> build_motion_fields_of_frames(const std::shared_ptr<const StreamIndex>& index,
                                                            const SessionOptions& options, FrameSyntaxReader& reader,
                                                            const std::vector<int32_t>& frames, int threads);
