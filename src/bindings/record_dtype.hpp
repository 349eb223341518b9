#pragma once

#include <cstddef>
#include <initializer_list>

#include <pybind11/numpy.h>

namespace py = pybind11;

// One field of a packed C++ record as NumPy sees it: its name, NumPy's format ("u1", "<i2",
// "(2,4)i1"...) and its byte offset in the record.
struct RecordField {
    const char* name;
    const char* format;
    std::size_t offset;
};

// The structured dtype of records of `size` bytes holding `fields` where they lie, so that an
// array of the records is copied into NumPy's memory as it is.
py::dtype record_dtype(std::initializer_list<RecordField> fields, std::size_t size);
