#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "decode/interval_decoder.hpp"
#include "ffmpeg/session_options.hpp"
#include "index/stream_index.hpp"

// Decodes many frames of the indexed file at once on `threads` threads (0: the cores this
// process may use), each with an IntervalDecoder of its own that decodes as a session with these
// options does; no session's own decoder and cache are touched. The work is handed out as
// key-frame intervals, which decode independently; no thread holds more pictures than its
// decoder needs.
//
// `frames`: distinct frame numbers within 0..num_frames-1, in any order. The sink receives
// each frame the decoder produces, from the workers' threads, with its planes only
// `with_pixels`. Returns, for each entry of `frames`, whether it was delivered. An FFmpeg
// failure in any worker stops them all, and the first one is thrown once every thread has
// ended. Releases nothing it does not own: the caller may hold Python's lock or not.
std::vector<uint8_t> decode_batch(const std::shared_ptr<const StreamIndex>& index, const SessionOptions& options,
                                  const std::vector<int32_t>& frames, int threads, const PictureSink& sink,
                                  bool with_pixels);

// std::invalid_argument for a negative thread count; 0 stands for the usable cores.
void check_thread_count(int threads);
