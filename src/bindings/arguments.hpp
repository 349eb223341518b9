#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <pybind11/pybind11.h>

#include "h264_decoder_session.hpp"

namespace py = pybind11;

// A file path as the bytes the file system knows it by: str (encoded as os.fsencode does,
// so that the lone surrogates Python decodes undecodable bytes to become those bytes
// again), bytes, or any os.PathLike of either.
struct FilePath {
    std::string bytes;
};

// What the batch methods take as `frames`: None, one frame number, or an iterable of them.
// Any object is taken, and requested_frames says what is wrong with it, naming the argument,
// rather than pybind11 listing the method's signatures.
class FrameNumbers : public py::object {
public:
    PYBIND11_OBJECT_DEFAULT(FrameNumbers, object, [](PyObject*) { return true; })
};

// An integer argument: any object, converted by the shim that knows the argument's name, so
// that a wrong one raises a one-line TypeError or IndexError naming it.
class IndexArgument : public py::object {
public:
    PYBIND11_OBJECT_DEFAULT(IndexArgument, object, [](PyObject*) { return true; })
};

// The argument as Python's operator.index gives it, nullopt where that is beyond long long,
// else TypeError "<name> must be an integer, not <type>".
std::optional<long long> index_value(const py::handle& argument, const char* name);
// A count of threads: 0 or more.
int thread_count(const IndexArgument& threads);
// A frame number of the session, else IndexError naming the argument and the valid range.
int32_t frame_number(const H264DecoderSession& session, const py::handle& argument, const char* name);
// The frame a frame method's `frame_idx` names, checked while Python's lock is held: the
// closed session's RuntimeError first, then frame_number's errors.
int32_t checked_frame_number(const H264DecoderSession& session, const py::handle& frame_idx);
// A plane number; whether the frame has the plane is the session's to say.
int32_t plane_number(const IndexArgument& plane);

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
    static constexpr auto name = const_name("collections.abc.Iterable[typing.SupportsIndex] | typing.SupportsIndex | None");
};

template <>
struct handle_type_name<IndexArgument> {
    static constexpr auto name = const_name("typing.SupportsIndex");
};

}  // namespace pybind11::detail
