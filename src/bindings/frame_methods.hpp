#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/typing.h>

#include "arguments.hpp"
#include "h264_decoder_session.hpp"

namespace py = pybind11;

// The per-frame queries as Python calls them. Each fetches its frame with the GIL released,
// then copies what it needs with the GIL held: nothing handed to Python points into a
// snapshot, so the frame cache may drop it at any time.

py::array_t<int8_t> get_qpmap(H264DecoderSession& session, const IndexArgument& frame_idx, const std::string& source);

// uint8 up to 8 bits a sample, uint16 above.
using PlaneArray = py::typing::Union<py::array_t<uint8_t>, py::array_t<uint16_t>>;

PlaneArray get_plane_data(H264DecoderSession& session, const IndexArgument& frame_idx, const IndexArgument& plane);

py::typing::Tuple<py::int_, py::int_> get_chroma_qp_offset(H264DecoderSession& session, const IndexArgument& frame_idx);

py::str get_frame_type(H264DecoderSession& session, const IndexArgument& frame_idx);

bool is_key_frame(H264DecoderSession& session, const IndexArgument& frame_idx);

bool is_damaged(H264DecoderSession& session, const IndexArgument& frame_idx);

// One row per motion-compensated block and direction, FFmpeg's fields as a structured array.
py::array get_motion_vectors(H264DecoderSession& session, const IndexArgument& frame_idx);

// int16, shape (2, 2, mb_rows * 4, mb_cols * 4): see fill_motion_field.
py::array_t<int16_t> get_mv_field(H264DecoderSession& session, const IndexArgument& frame_idx);

// Structured (mb_rows, mb_cols) array of mb_type_dtype() records.
py::array get_mbtype_map(H264DecoderSession& session, const IndexArgument& frame_idx,
                         const std::optional<std::string>& source);

void copy_plane_to_ptr(H264DecoderSession& session, const IndexArgument& frame_idx, const IndexArgument& plane,
                       uint64_t dst_ptr, int32_t dst_stride);
