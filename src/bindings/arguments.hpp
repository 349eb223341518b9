#pragma once

#include <string>

#include <pybind11/pybind11.h>

namespace py = pybind11;

// A file path as the bytes the file system knows it by: str (encoded as os.fsencode does,
// so that the lone surrogates Python decodes undecodable bytes to become those bytes
// again), bytes, or any os.PathLike of either.
struct FilePath {
    std::string bytes;
};

// An iterable of frame numbers or None: what the batch methods take as `frames`. Anything
// else is another overload's argument, or a TypeError.
class FrameNumbers : public py::object {
public:
    PYBIND11_OBJECT_DEFAULT(FrameNumbers, object, is_frame_numbers)

private:
    static bool is_frame_numbers(PyObject* candidate) {
        if (candidate == Py_None) {
            return true;
        }
        // A generator's iterator is the generator itself: asking for it consumes nothing.
        PyObject* iterator = PyObject_GetIter(candidate);
        if (!iterator) {
            PyErr_Clear();
            return false;
        }
        Py_DECREF(iterator);
        return true;
    }
};

namespace pybind11::detail {

template <>
struct type_caster<FilePath> {
    PYBIND11_TYPE_CASTER(FilePath, const_name("str | bytes | os.PathLike[str] | os.PathLike[bytes]"));

    bool load(handle source, bool) {
        const auto path = reinterpret_steal<object>(PyOS_FSPath(source.ptr()));
        if (!path) {
            PyErr_Clear();
            return false;
        }
        object encoded = path;
        if (PyUnicode_Check(path.ptr())) {
            encoded = reinterpret_steal<object>(PyUnicode_EncodeFSDefault(path.ptr()));
            if (!encoded) {
                PyErr_Clear();
                return false;
            }
        }
        value.bytes.assign(PyBytes_AS_STRING(encoded.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr())));
        return true;
    }
};

template <>
struct handle_type_name<FrameNumbers> {
    static constexpr auto name = const_name("collections.abc.Iterable[typing.SupportsIndex] | None");
};

}  // namespace pybind11::detail
