#include "reconstruct_methods.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include <pybind11/numpy.h>

#include "arguments.hpp"
#include "batch_methods.hpp"
#include "docstrings.hpp"
#include "interrupts.hpp"
#include "python_logging.hpp"
#include "record_dtype.hpp"
#include "reconstruct/motion_field.hpp"
#include "reconstruct/rebuild_batch.hpp"
#include "reconstruct/rebuilt_picture.hpp"

namespace {

FrameSyntax read_syntax(H264DecoderSession& session, int32_t frame, SyntaxDepth depth) {
    FrameSyntax syntax;
    session.syntax_reader()->read(frame, depth, syntax);
    return syntax;
}

// The co-located pictures of direct prediction, whose motion alone is wanted.
SyntaxSource motion_syntax_of(H264DecoderSession& session) {
    return [&session](int32_t frame, FrameSyntax& syntax) {
        session.syntax_reader()->read(frame, SyntaxDepth::Context, syntax);
    };
}

template <typename Sample, typename Source>
py::array_t<Sample> plane_array(const RebuiltPicture& picture, int plane, const std::vector<Source>& samples) {
    py::array_t<Sample> array(
        {static_cast<py::ssize_t>(picture.height[plane]), static_cast<py::ssize_t>(picture.width[plane])});
    std::copy(samples.begin(), samples.end(), array.mutable_data());
    return array;
}

py::tuple get_residual(H264DecoderSession& session, const IndexArgument& frame_idx) {
    const int32_t frame = checked_frame_number(session, frame_idx);
    RebuiltPicture picture;
    {
        const FfmpegMessagesToLogging messages(session.index()->path);
        py::gil_scoped_release release;
        rebuild_residual(read_syntax(session, frame, SyntaxDepth::Levels), picture);
    }
    return py::make_tuple(plane_array<int16_t>(picture, 0, picture.residual[0]),
                          plane_array<int16_t>(picture, 1, picture.residual[1]),
                          plane_array<int16_t>(picture, 2, picture.residual[2]));
}

py::tuple get_prediction(H264DecoderSession& session, const IndexArgument& frame_idx) {
    const int32_t frame = checked_frame_number(session, frame_idx);
    RebuiltPicture picture;
    int bit_depth = 8;
    {
        const FfmpegMessagesToLogging messages(session.index()->path);
        py::gil_scoped_release release;
        const FrameSyntax syntax = read_syntax(session, frame, SyntaxDepth::Levels);
        bit_depth = std::max(syntax.sequence.bit_depth_luma, syntax.sequence.bit_depth_chroma);
        rebuild_picture(syntax, frame, session.index(), motion_syntax_of(session), picture);
    }
    py::list planes;
    for (int plane = 0; plane < 3; ++plane) {
        if (bit_depth > 8) {
            planes.append(plane_array<uint16_t>(picture, plane, picture.prediction[plane]));
        } else {
            planes.append(plane_array<uint8_t>(picture, plane, picture.prediction[plane]));
        }
    }
    return py::tuple(planes);
}

py::dtype motion_dtype() {
    return record_dtype({{"mv", "(2,2)<i2", offsetof(MotionRecord, mv)},
                         {"ref_idx", "(2,)i1", offsetof(MotionRecord, ref_idx)},
                         {"ref_poc", "(2,)<i4", offsetof(MotionRecord, ref_poc)},
                         {"direct", "?", offsetof(MotionRecord, direct)}},
                        sizeof(MotionRecord));
}

py::array get_motion_field(H264DecoderSession& session, const IndexArgument& frame_idx) {
    const int32_t frame = checked_frame_number(session, frame_idx);
    std::vector<MotionRecord> field;
    py::ssize_t rows = 0;
    py::ssize_t columns = 0;
    {
        const FfmpegMessagesToLogging messages(session.index()->path);
        py::gil_scoped_release release;
        const FrameSyntax syntax = read_syntax(session, frame, SyntaxDepth::Context);
        field.resize(motion_field_blocks(syntax));
        build_motion_field(syntax, motion_syntax_of(session), field.data());
        columns = 4 * static_cast<py::ssize_t>(syntax.coded_cols);
        rows = static_cast<py::ssize_t>(field.size()) / columns;
    }
    py::array array(motion_dtype(), std::vector<py::ssize_t>{rows, columns}, std::vector<py::ssize_t>{});
    std::memcpy(array.mutable_data(), field.data(), field.size() * sizeof(MotionRecord));
    return array;
}

py::tuple get_residuals(H264DecoderSession& session, const FrameNumbers& frames, const IndexArgument& threads) {
    const std::vector<int32_t> requested = requested_frames(session, frames);
    const int readers = threads.is_none() ? 0 : thread_count(threads);
    ResidualStack stack;
    {
        const PythonInterruptCheck interrupts;
        const FfmpegMessagesToLogging messages(session.index()->path);
        py::gil_scoped_release release;
        stack = rebuild_residuals_of_frames(session.index(), session.options(), *session.syntax_reader(), requested,
                                            readers);
    }
    py::list planes;
    for (int plane = 0; plane < 3; ++plane) {
        const std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(requested.size()), stack.height[plane],
                                             stack.width[plane]};
        if (!stack.planes[plane]) {
            planes.append(py::array_t<int16_t>(shape));
            continue;
        }
        // The array owns the stack's buffer from here on: no copy.
        int16_t* samples = stack.planes[plane].release();
        const py::capsule owner(samples, [](void* data) { release_large(data); });
        planes.append(py::array_t<int16_t>(shape, samples, owner));
    }
    return py::tuple(planes);
}

py::array get_motion_fields(H264DecoderSession& session, const FrameNumbers& frames, const IndexArgument& threads) {
    const std::vector<int32_t> requested = requested_frames(session, frames);
    const int readers = threads.is_none() ? 0 : thread_count(threads);
    MotionStack stack;
    {
        const PythonInterruptCheck interrupts;
        const FfmpegMessagesToLogging messages(session.index()->path);
        py::gil_scoped_release release;
        stack = build_motion_fields_of_frames(session.index(), session.options(), *session.syntax_reader(),
                                              requested, readers);
    }
    const std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(requested.size()), stack.rows, stack.columns};
    if (!stack.blocks) {
        return py::array(motion_dtype(), shape, std::vector<py::ssize_t>{});
    }
    // The array owns the stack's buffer from here on: no copy.
    MotionRecord* data = stack.blocks.release();
    const py::capsule owner(data, [](void* owned) { release_large(owned); });
    return py::array(motion_dtype(), shape, std::vector<py::ssize_t>{}, data, owner);
}

}  // namespace

void register_reconstruct_methods(py::module_& module,
                                  py::class_<H264DecoderSession, std::shared_ptr<H264DecoderSession>>& session) {
    py::register_exception<PredictionNotBuilt>(module, "PredictionNotBuilt", PyExc_NotImplementedError)
        .attr("__doc__") = docstrings::kPredictionNotBuilt;
    session.def("get_residual", &get_residual, py::arg("frame_idx"), docstrings::kGetResidual)
        .def("get_prediction", &get_prediction, py::arg("frame_idx"), docstrings::kGetPrediction)
        .def("get_motion_field", &get_motion_field, py::arg("frame_idx"), docstrings::kGetMotionField)
        .def("get_residuals", &get_residuals, py::arg("frames") = py::none(), py::kw_only(),
             py::arg("threads") = py::none(), docstrings::kGetResiduals)
        .def("get_motion_fields", &get_motion_fields, py::arg("frames") = py::none(), py::kw_only(),
             py::arg("threads") = py::none(), docstrings::kGetMotionFields);
}
