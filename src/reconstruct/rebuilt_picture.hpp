#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

#include "index/stream_index.hpp"
#include "reconstruct/motion_field.hpp"
#include "syntax/frame_syntax_reader.hpp"

// A picture rebuilt from its syntax, each plane at the coded size, row-major: the residual
// the decoder adds to its prediction, and where asked the prediction and the samples
// (prediction plus residual, clipped) before the loop filter. Reused from frame to frame.
struct RebuiltPicture {
    int width[3] = {0, 0, 0};
    int height[3] = {0, 0, 0};
    std::vector<int16_t> residual[3];
    std::vector<uint16_t> prediction[3];
    std::vector<uint16_t> samples[3];
};

// Where a residual goes: each plane at the coded size of the frame's levels, row-major,
// cleared beforehand (a macroblock that codes no residual writes nothing).
struct ResidualPlanes {
    int16_t* plane[3] = {nullptr, nullptr, nullptr};
};

// Raised for pictures whose prediction needs what is not built (direct_motion.hpp, and the
// reference lists of fields after a field picture's long-term memory management).
class PredictionNotBuilt : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws std::runtime_error where the frame's syntax could not be read at all.
void require_rebuildable(const FrameSyntax& syntax);

// The residual of every macroblock of the frame; the frame's syntax must hold its levels
// (read with coefficients). A frame of two field pictures is rebuilt field by field, each
// field on the frame's rows of its parity (field_pictures.hpp); in an MBAFF frame a field
// macroblock's residual lies on its rows of its pair (macroblock_rows.hpp).
void rebuild_residual(const FrameSyntax& syntax, RebuiltPicture& picture);
// The same into planes the caller holds: a batch's residuals go straight to their arrays.
void rebuild_residual(const FrameSyntax& syntax, const ResidualPlanes& target);

// The residual, the prediction and the samples of a frame, macroblock by macroblock in
// decoding order: intra macroblocks from the samples rebuilt so far (an I_PCM macroblock's
// prediction is its samples, its residual zero), inter macroblocks from the reference frames
// their slice's lists name, decoded from the file `index` describes, with the motion field
// build_motion_field gives (`source` reading the co-located pictures of direct prediction).
// `frame` is the session's frame the syntax is of, whose first field the second may name.
// PredictionNotBuilt where direct_motion.hpp or the reference marking builds nothing.
void rebuild_picture(const FrameSyntax& syntax, int32_t frame, const std::shared_ptr<const StreamIndex>& index,
                     const SyntaxSource& source, RebuiltPicture& picture);
