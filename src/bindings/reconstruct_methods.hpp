#pragma once

#include <pybind11/pybind11.h>

#include "h264_decoder_session.hpp"

namespace py = pybind11;

// get_residual and get_prediction, a frame's samples rebuilt from its syntax.
void register_reconstruct_methods(py::module_& module,
                                  py::class_<H264DecoderSession, std::shared_ptr<H264DecoderSession>>& session);
