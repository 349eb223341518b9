#include "arguments.hpp"

#include <stdexcept>

namespace {

std::string text_of(const py::handle& number) { return py::str(number).cast<std::string>(); }

}  // namespace

std::optional<long long> index_value(const py::handle& argument, const char* name) {
    const auto number = py::reinterpret_steal<py::object>(PyNumber_Index(argument.ptr()));
    if (!number) {
        PyErr_Clear();
        throw py::type_error(std::string(name) + " must be an integer, not " +
                             py::type::handle_of(argument).attr("__name__").cast<std::string>());
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (overflow != 0) {
        return std::nullopt;
    }
    return value;
}

int thread_count(const IndexArgument& threads) {
    const std::optional<long long> count = index_value(threads, "threads");
    if (!count || *count < 0 || *count > INT32_MAX) {
        throw std::invalid_argument("threads must be 0 (every usable core) or a count of threads, not " +
                                    text_of(threads));
    }
    return static_cast<int>(*count);
}

int32_t frame_number(const H264DecoderSession& session, const py::handle& argument, const char* name) {
    const std::optional<long long> index = index_value(argument, name);
    if (!index || *index < 0 || *index >= session.num_frames()) {
        throw std::out_of_range("Frame index out of bounds: " + text_of(argument) + " (" + name + " takes 0 to " +
                                std::to_string(session.num_frames() - 1) + ")");
    }
    return static_cast<int32_t>(*index);
}

int32_t checked_frame_number(const H264DecoderSession& session, const py::handle& frame_idx) {
    session.check_open();
    return frame_number(session, frame_idx, "frame_idx");
}

int32_t plane_number(const IndexArgument& plane) {
    const std::optional<long long> number = index_value(plane, "plane");
    // Out of int32's range is out of every pixel format's planes: -1 says so to the check.
    if (!number || *number < INT32_MIN || *number > INT32_MAX) {
        return -1;
    }
    return static_cast<int32_t>(*number);
}
