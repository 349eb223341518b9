#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "h264_decoder_session.hpp"

namespace py = pybind11;

// vexmira.MbType and vexmira.Partition, as enum.IntEnum classes of the module.
void register_mb_type_enums(py::module_& module);

// The record of one macroblock in a map: type (uint8, an MbType), partition (uint8, a
// Partition), interlaced (bool); three bytes, as MacroblockCoding.
py::dtype mb_type_dtype();

// RuntimeError unless the session was opened with mb_types=True.
void check_mb_types_exported(const H264DecoderSession& session);
