#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "batch_methods.hpp"
#include "ffmpeg/runtime_version.hpp"
#include "frame_methods.hpp"
#include "h264_decoder_session.hpp"
#include "mb_type_records.hpp"
#include "session_construction.hpp"

namespace py = pybind11;

PYBIND11_MODULE(vexmira, m) {
    m.doc() = "Native in-memory H.264 decoder & QP/Macroblock extractor";
    m.attr("__version__") = VEXMIRA_VERSION;
    m.attr("ffmpeg_version") = ffmpeg_runtime_versions();
    register_mb_type_enums(m);

    py::class_<H264DecoderSession, std::shared_ptr<H264DecoderSession>>(m, "H264DecoderSession")
        .def(py::init(&open_session), py::arg("path"), py::kw_only(), py::arg("deblocking") = "skip",
             py::arg("motion_vectors") = false, py::arg("mb_types") = false, py::arg("read_ahead") = py::none(),
             "Open a video file. deblocking: \"skip\" (every picture before the loop filter, "
             "references too), \"exact\" (references filtered, the requested picture before its "
             "own filter) or \"on\" (filtered pictures). motion_vectors: export them for "
             "get_motion_vectors and get_mv_field. mb_types: capture how each macroblock was coded, "
             "for get_mbtype_map, get_mbtype_maps and the counts of frame_stats. read_ahead: key-frame "
             "intervals decoded ahead on other cores while requests move forward; None sizes it to the "
             "idle cores, 0 turns it off")
        .def_property_readonly("width", [](const H264DecoderSession& s) { return s.facts().width; })
        .def_property_readonly("height", [](const H264DecoderSession& s) { return s.facts().height; })
        .def_property_readonly("mb_cols", [](const H264DecoderSession& s) { return s.facts().mb_cols; })
        .def_property_readonly("mb_rows", [](const H264DecoderSession& s) { return s.facts().mb_rows; })
        .def_property_readonly("num_frames", [](const H264DecoderSession& s) { return s.num_frames(); })
        .def_property_readonly("fps", [](const H264DecoderSession& s) { return s.facts().fps; })
        .def_property_readonly("fps_num", [](const H264DecoderSession& s) { return s.facts().fps_num; })
        .def_property_readonly("fps_den", [](const H264DecoderSession& s) { return s.facts().fps_den; })
        .def_property_readonly("pix_fmt", [](const H264DecoderSession& s) { return s.facts().pix_fmt; })
        .def_property_readonly("bytes_per_sample",
                               [](const H264DecoderSession& s) { return s.facts().bytes_per_sample; })
        .def("get_qpmap", &get_qpmap, py::arg("frame_idx"),
             "Get QP map for frame as (mb_rows, mb_cols) int8 array")
        .def("get_plane_data", &get_plane_data, py::arg("frame_idx"), py::arg("plane"),
             "Get raw plane data (h, stride) for nodeblock frame")
        .def("get_chroma_qp_offset", &get_chroma_qp_offset, py::arg("frame_idx"),
             "Get PPS chroma QP offsets (cb_offset, cr_offset) for frame")
        .def("get_frame_type", &get_frame_type, py::arg("frame_idx"),
             "Get the picture type of frame: 'I', 'P', 'B' (or 'S', 'SI', 'SP', 'BI')")
        .def("is_key_frame", &is_key_frame, py::arg("frame_idx"),
             "Whether decoding can start at frame")
        .def("get_motion_vectors", &get_motion_vectors, py::arg("frame_idx"),
             "Get motion vectors of frame as a structured array, one row per block and direction")
        .def("get_mv_field", &get_mv_field, py::arg("frame_idx"),
             "Get motion vectors of frame per 4x4 block as (2, 2, mb_rows*4, mb_cols*4) int16 "
             "array: [past, future][x, y][row][column], quarter pixels")
        .def("get_mbtype_map", &get_mbtype_map, py::arg("frame_idx"),
             "Get how each macroblock of frame was coded as a (mb_rows, mb_cols) structured array: type "
             "(uint8, a vexmira.MbType), partition (uint8, a vexmira.Partition), interlaced (bool)")
        .def("copy_plane_to_ptr", &copy_plane_to_ptr, py::arg("frame_idx"), py::arg("plane"), py::arg("dst_ptr"),
             py::arg("dst_stride"),
             "Copy plane data directly into destination pointer and stride (zero Python overhead)")
        .def("get_qpmaps", &get_qpmaps, py::arg("frames") = py::none(), py::arg("threads") = 0,
             "QP maps of many frames (every frame when frames is None) as one (len(frames), mb_rows, mb_cols) "
             "int8 array, decoded on `threads` parallel decoders (0: every usable core)")
        .def("get_mbtype_maps", &get_mbtype_maps, py::arg("frames") = py::none(), py::arg("threads") = 0,
             "Macroblock types of many frames (every frame when frames is None) as one (len(frames), mb_rows, "
             "mb_cols) structured array like get_mbtype_map's, decoded on `threads` parallel decoders (0: every "
             "usable core)")
        .def("get_planes", &get_planes, py::arg("frames"), py::arg("plane"), py::arg("threads") = 0,
             "Picture area of one plane of many frames as one (len(frames), rows, columns) array, decoded on "
             "`threads` parallel decoders (0: every usable core)")
        .def("frame_stats", &frame_stats, py::arg("threads") = 0, py::kw_only(), py::arg("frames") = py::none(),
             "One row per frame (every frame when frames is None) as a dict of equal-length arrays: frame, pts, "
             "time, pict_type, key_frame, pkt_size, qp_mean, qp_min, qp_max, chroma_qp_offset_cb, "
             "chroma_qp_offset_cr, decoded; with mb_types=True also mb_intra, mb_skip, mb_direct, mb_inter")
        .def("key_frame_intervals", &key_frame_intervals,
             "First frame of each run of frames decoded from the same key packet, ascending: frame ranges cut "
             "there decode no key-frame interval twice");
}
