#pragma once

#include <cstdint>

#include "ffmpeg/stream_facts.hpp"
#include "frame/frame_snapshot.hpp"

// Where a picture's samples go when they leave a snapshot for memory sized from the
// session's facts: the destination of copy_plane_to_ptr, and each slice of a batch.

// Rows and columns, in samples, of one plane's picture area as the session's facts give it.
struct PlaneShape {
    int64_t rows;
    int64_t columns;
};

// std::out_of_range("Invalid plane index: <plane> (plane takes 0 to <last> for <format>)") for a
// plane the pixel format does not have.
PlaneShape plane_shape(const StreamFacts& facts, int32_t plane);

// The same for a plane the frame does not have.
void check_plane(const FrameSnapshot& frame, int32_t plane);

// std::invalid_argument when the frame's picture differs in size or format from the session's
// facts, from which callers size their destinations: a stream that changes picture size or
// format midway has frames that would not fit them, or fill only part of them.
void check_fits(const StreamFacts& facts, const FrameSnapshot& frame, int32_t frame_idx);

// Copies each row of the plane's picture area to `destination`, rows `stride` bytes apart,
// each cut to the stride where it is longer. The plane must be one the frame has.
void copy_picture_rows(const FrameSnapshot& frame, int32_t plane, uint8_t* destination, int64_t stride);

// Copies the plane's rows whole, as the decoder laid them out (linesize bytes each), into at
// most `capacity` bytes, with the bytes past the picture's width set to 0. The decoder
// leaves those as whichever picture last used the buffer left them, so they would differ from
// one decode of a frame to the next.
void copy_rows_with_padding(const FrameSnapshot& frame, int32_t plane, uint8_t* destination, std::size_t capacity);
