#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "../session/h264_decoder_session.hpp"

namespace py = pybind11;

PYBIND11_MODULE(vexmira, m) {
    m.doc() = "Native in-memory H.264 decoder & QP/Macroblock extractor";

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
        .def_readonly("bytes_per_sample", &H264DecoderSession::bytes_per_sample);
}
