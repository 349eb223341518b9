#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <pybind11/numpy.h>

namespace py = pybind11;

// The columns of the per-frame tables (frame_stats, syntax_stats) as NumPy arrays.

template <typename T>
py::array_t<T> column(const std::vector<T>& values) {
    return py::array_t<T>(static_cast<py::ssize_t>(values.size()), values.data());
}

// 0 and 1 as NumPy's bool.
py::array bool_column(const std::vector<uint8_t>& values);

// Picture types as NumPy's "<U2": at most two ASCII letters ("SI", "SP"), '' for a frame
// without one.
py::array picture_type_column(const std::vector<std::string>& types);
