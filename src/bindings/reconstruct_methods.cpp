#include "reconstruct_methods.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include <pybind11/numpy.h>

#include "arguments.hpp"
#include "docstrings.hpp"
#include "record_dtype.hpp"
#include "reconstruct/motion_field.hpp"
#include "reconstruct/rebuilt_picture.hpp"

namespace {

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
    const int32_t frame = checked_frame_number(session, frame_idx);
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
    const int32_t frame = checked_frame_number(session, frame_idx);
    RebuiltPicture picture;
    int bit_depth = 8;
    {
        py::gil_scoped_release release;
        const FrameSyntax syntax = read_levels(session, frame);
        bit_depth = std::max(syntax.sequence.bit_depth_luma, syntax.sequence.bit_depth_chroma);
        rebuild_intra_picture(syntax, picture);
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
                         {"ref_idx", "(2,)i1", offsetof(MotionRecord, ref_idx)}},
                        sizeof(MotionRecord));
}

py::array get_motion_field(H264DecoderSession& session, const IndexArgument& frame_idx) {
    const int32_t frame = checked_frame_number(session, frame_idx);
    std::vector<MotionRecord> field;
    py::ssize_t rows = 0;
    py::ssize_t columns = 0;
    {
        py::gil_scoped_release release;
        const FrameSyntax syntax = read_levels(session, frame);
        build_p_motion_field(syntax, field);
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
