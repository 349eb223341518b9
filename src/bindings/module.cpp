#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "ffmpeg_runtime_version.hpp"
#include "frame_methods.hpp"
#include "h264_decoder_session.hpp"

namespace py = pybind11;

PYBIND11_MODULE(vexmira, m) {
    m.doc() = "Native in-memory H.264 decoder & QP/Macroblock extractor";
    m.attr("__version__") = VEXMIRA_VERSION;
    m.attr("ffmpeg_version") = ffmpeg_runtime_versions();

    py::class_<H264DecoderSession, std::shared_ptr<H264DecoderSession>>(m, "H264DecoderSession")
        .def(py::init<const std::string&>(), py::arg("path"))
        .def_readonly("width", &H264DecoderSession::width)
        .def_readonly("height", &H264DecoderSession::height)
        .def_readonly("mb_cols", &H264DecoderSession::mb_cols)
        .def_readonly("mb_rows", &H264DecoderSession::mb_rows)
        .def_readonly("num_frames", &H264DecoderSession::num_frames)
        .def_readonly("fps", &H264DecoderSession::fps)
        .def_readonly("fps_num", &H264DecoderSession::fps_num)
        .def_readonly("fps_den", &H264DecoderSession::fps_den)
        .def_readonly("pix_fmt", &H264DecoderSession::pix_fmt)
        .def_readonly("bytes_per_sample", &H264DecoderSession::bytes_per_sample)
        .def("get_qpmap", &get_qpmap, py::arg("frame_idx"),
             "Get QP map for frame as (mb_rows, mb_cols) int8 array")
        .def("get_plane_data", &get_plane_data, py::arg("frame_idx"), py::arg("plane"),
             "Get raw plane data (h, stride) for nodeblock frame")
        .def("get_chroma_qp_offset", &get_chroma_qp_offset, py::arg("frame_idx"),
             "Get PPS chroma QP offsets (cb_offset, cr_offset) for frame")
        .def("copy_plane_to_ptr", &copy_plane_to_ptr, py::arg("frame_idx"), py::arg("plane"), py::arg("dst_ptr"),
             py::arg("dst_stride"),
             "Copy plane data directly into destination pointer and stride (zero Python overhead)");
}
