#pragma once

#include <pybind11/pybind11.h>

#include "h264_decoder_session.hpp"

namespace py = pybind11;

// get_mb_syntax, get_coefficients, get_mb_syntaxes and syntax_stats: the frames' syntax read
// from their packets.
void register_syntax_methods(py::class_<H264DecoderSession, std::shared_ptr<H264DecoderSession>>& session);
