#pragma once

#include <vector>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/motion_vector.h>
}

// The motion vectors the decoder exported with the picture, one per motion-compensated block
// and reference direction; none for an intra picture or when the export was off.
std::vector<AVMotionVector> read_motion_vectors(const AVFrame& frame);
