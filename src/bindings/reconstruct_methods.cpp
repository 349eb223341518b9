#include "reconstruct_methods.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include <pybind11/numpy.h>

#include "arguments.hpp"
#include "docstrings.hpp"
#include "reconstruct/motion_field.hpp"
#include "reconstruct/rebuilt_picture.hpp"
#include "reconstruct/reference_lists.hpp"

namespace {

// The frame's number, checked while Python's lock is held, as the other frame methods do.
int32_t checked_frame(H264DecoderSession& session, const IndexArgument& frame_idx) {
    session.check_open();
    return frame_number(session, frame_idx, "frame_idx");
}

FrameSyntax read_levels(H264DecoderSession& session, int32_t frame) {
    FrameSyntax syntax;
    session.syntax_reader()->read(frame, true, syntax);
    return syntax;
}

template <typename Sample, typename Source>
py::array_t<Sample> plane_array(const RebuiltPicture& picture, int plane, const std::vector<Source>& samples) {
    py::array_t<Sample> array({static_cast<py::ssize_t>(picture.height[plane]), static_cast<py::ssize_t>(picture.width[plane])});
    std::copy(samples.begin(), samples.end(), array.mutable_data());
    return array;
}

py::tuple get_residual(H264DecoderSession& session, const IndexArgument& frame_idx) {
    const int32_t frame = checked_frame(session, frame_idx);
    RebuiltPicture picture;
    {
        py::gil_scoped_release release;
        rebuild_residual(read_levels(session, frame), picture);
    }
    return py::make_tuple(plane_array<int16_t>(picture, 0, picture.residual[0]),
                          plane_array<int16_t>(picture, 1, picture.residual[1]),
                          plane_array<int16_t>(picture, 2, picture.residual[2]));
}

py::tuple get_prediction(H264DecoderSession& session, const IndexArgument& frame_idx) {
    const int32_t frame = checked_frame(session, frame_idx);
    RebuiltPicture picture;
    int bit_depth = 8;
    {
        py::gil_scoped_release release;
        const FrameSyntax syntax = read_levels(session, frame);
        bit_depth = std::max(syntax.sequence.bit_depth_luma, syntax.sequence.bit_depth_chroma);
        rebuild_picture(syntax, session.index(), picture);
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
    py::list names;
    py::list formats;
    py::list offsets;
    names.append("mv");
    formats.append("(2,2)<i2");
    offsets.append(offsetof(MotionRecord, mv));
    names.append("ref_idx");
    formats.append("(2,)i1");
    offsets.append(offsetof(MotionRecord, ref_idx));
    names.append("ref_poc");
    formats.append("(2,)<i4");
    offsets.append(offsetof(MotionRecord, ref_poc));
    return py::dtype(names, formats, offsets, sizeof(MotionRecord));
}

py::array get_motion_field(H264DecoderSession& session, const IndexArgument& frame_idx) {
    const int32_t frame = checked_frame(session, frame_idx);
    std::vector<MotionRecord> field;
    py::ssize_t rows = 0;
    py::ssize_t columns = 0;
    {
        py::gil_scoped_release release;
        const FrameSyntax syntax = read_levels(session, frame);
        build_p_motion_field(syntax, field);
        name_references(syntax, p_reference_lists(syntax), field);
        columns = 4 * static_cast<py::ssize_t>(syntax.coded_cols);
        rows = static_cast<py::ssize_t>(field.size()) / columns;
    }
    py::array array(motion_dtype(), std::vector<py::ssize_t>{rows, columns}, std::vector<py::ssize_t>{});
    std::memcpy(array.mutable_data(), field.data(), field.size() * sizeof(MotionRecord));
    return array;
}

}  // namespace

void register_reconstruct_methods(py::module_& module,
                                  py::class_<H264DecoderSession, std::shared_ptr<H264DecoderSession>>& session) {
    py::register_exception<PredictionNotBuilt>(module, "PredictionNotBuilt", PyExc_NotImplementedError)
        .attr("__doc__") = docstrings::kPredictionNotBuilt;
    session.def("get_residual", &get_residual, py::arg("frame_idx"), docstrings::kGetResidual)
        .def("get_prediction", &get_prediction, py::arg("frame_idx"), docstrings::kGetPrediction)
        .def("get_motion_field", &get_motion_field, py::arg("frame_idx"), docstrings::kGetMotionField);
}
