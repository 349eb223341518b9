#pragma once

#include <memory>
#include <optional>
#include <string>
#include <tuple>

#include <pybind11/pybind11.h>
#include <pybind11/typing.h>

#include "h264_decoder_session.hpp"

namespace py = pybind11;

// The constructor as Python calls it: the keywords turned into the session's options
// (read_ahead None: the automatic setting; stream None: the first video stream).
std::shared_ptr<H264DecoderSession> open_session(const std::string& path, const std::string& deblocking,
                                                 bool motion_vectors, bool mb_types,
                                                 const std::optional<int>& read_ahead, const std::optional<int>& stream);

// Pickling by path and options: (path as bytes, deblocking, motion_vectors, mb_types,
// read_ahead, stream), what open_session takes. A closed session raises, as every method does.
using SessionState = py::typing::Tuple<py::bytes, py::str, py::bool_, py::bool_, py::typing::Optional<py::int_>,
                                       py::int_>;
SessionState session_state(const H264DecoderSession& session);
std::shared_ptr<H264DecoderSession> session_from_state(const SessionState& state);
