#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "ffmpeg/session_options.hpp"
#include "index/stream_index.hpp"
#include "syntax/frame_syntax_reader.hpp"

// Reads the syntax of `frames` (numbers in the index) on `threads` readers at once (0: one per
// usable core), each with a demuxer of its own reading a run of the frames in file order;
// `first` serves the first run. Frames are independent here, so the runs are cut by frame, not
// by key-frame interval. Every run reads on a thread of its own while the caller waits, asking
// the interrupt check of its thread (batch/interruption.hpp) as the decoding batches do.
// `take` is called from the readers' threads, once per position of `frames`; the first error
// of any reader (or of the check) stops the others at their next frame and is raised once all
// have ended. Each frame's syntax is read to `depth`, as read() reads it.
void read_syntax_of_frames(const std::shared_ptr<const StreamIndex>& index, const SessionOptions& options,
                           FrameSyntaxReader& first, const std::vector<int32_t>& frames, int threads,
                           const std::function<void(std::size_t position, const FrameSyntax& syntax)>& take,
                           SyntaxDepth depth = SyntaxDepth::Records);
