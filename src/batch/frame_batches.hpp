#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "ffmpeg/session_options.hpp"
#include "frame/mb_type_map.hpp"
#include "index/stream_index.hpp"

// Many frames' QP maps or planes at once, each into its place in one array sized from the
// session's facts, decoded as decode_batch does. `requested` holds valid frame numbers in
// any order, repeats allowed; results come in the order requested. Once every worker has
// ended, each throws the error of the lowest frame that failed: FrameNotDecoded for a frame
// the decoder does not produce, std::invalid_argument for one that does not fit the session's
// facts (check_fits).

// What a map batch does with a frame the decoder does not produce: fail with FrameNotDecoded,
// or give it the map of a damaged picture (-1, MbType::Unknown) and go on.
enum class Undecodable { Raise, Mark };

// facts.mb_rows x facts.mb_cols int8 values per requested frame.
void decode_qp_maps(const std::shared_ptr<const StreamIndex>& index, const SessionOptions& options,
                    const std::vector<int32_t>& requested, int threads, Undecodable undecodable,
                    int8_t* destination);

// facts.mb_rows x facts.mb_cols macroblock records per requested frame; std::runtime_error,
// saying why, for a frame whose types could not be had.
void decode_mb_type_maps(const std::shared_ptr<const StreamIndex>& index, const SessionOptions& options,
                         const std::vector<int32_t>& requested, int threads, Undecodable undecodable,
                         MacroblockCoding* destination);

// std::invalid_argument where a session's pictures cannot come from a batch.
void check_plane_batch_possible(const SessionOptions& options);

// plane_shape(facts, plane) samples per requested frame, rows tightly packed.
void decode_plane_areas(const std::shared_ptr<const StreamIndex>& index, const SessionOptions& options,
                        const std::vector<int32_t>& requested, int32_t plane, int threads, uint8_t* destination);
