#pragma once

#include <cstdint>

#include "h264/slice_header.hpp"

// Picture order counts in decoding order, computed as FFmpeg's H.264 decoder computes them
// (libavcodec's ff_h264_init_poc, and the state its pictures leave behind), so that pictures
// can be put in the order the decoder outputs them. Where FFmpeg departs from the standard it
// is followed: after a memory reset (MMCO 5) it keeps counting from the resetting picture's
// count instead of starting again, and FFmpeg's own H.264 parser, which starts again, would
// put the pictures after a reset in another order than the decoder shows them.
class OrderCounter {
public:
    // The count of the picture (field) this first slice header begins.
    int32_t next(const SliceHeader& header);

private:
    int32_t prev_msb_ = 1 << 16;
    int32_t prev_lsb_ = 0;
    int32_t prev_frame_num_ = -1;
    int32_t prev_frame_num_offset_ = 0;
};
