#include <typeinfo>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "arguments.hpp"
#include "batch_methods.hpp"
#include "docstrings.hpp"
#include "ffmpeg/ffmpeg_messages.hpp"
#include "ffmpeg/runtime_version.hpp"
#include "frame/qp_scale.hpp"
#include "frame_methods.hpp"
#include "h264_decoder_session.hpp"
#include "mb_type_records.hpp"
#include "session_construction.hpp"
#include "reconstruct_methods.hpp"
#include "syntax_methods.hpp"
#include "system/usable_cores.hpp"

namespace py = pybind11;

namespace {

// Messages that name a file hold its path's bytes, which need not be UTF-8: they are decoded
// as Python decodes file names (os.fsdecode), so that the message names the very str that
// opened the file. Only std::runtime_error itself carries paths; its subclasses keep
// pybind11's own translation.
void translate_runtime_error(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::runtime_error& raised) {
        if (typeid(raised) != typeid(std::runtime_error)) {
            throw;
        }
        const auto message = py::reinterpret_steal<py::object>(PyUnicode_DecodeFSDefault(raised.what()));
        if (message) {
            PyErr_SetObject(PyExc_RuntimeError, message.ptr());
        }
    }
}

py::object fraction(AVRational value) {
    return py::module_::import("fractions").attr("Fraction")(value.num, value.den);
}

}  // namespace

PYBIND11_MODULE(vexmira, m) {
    m.doc() = docstrings::kModule;
    m.attr("__version__") = VEXMIRA_VERSION;
    m.attr("ffmpeg_version") = ffmpeg_runtime_versions();
    py::register_exception_translator(&translate_runtime_error);
    install_message_callback();
    register_mb_type_enums(m);
    m.def("usable_cores", &usable_cores, docstrings::kUsableCores);

    using Session = H264DecoderSession;
    py::class_<Session, std::shared_ptr<Session>> session(m, "H264DecoderSession", docstrings::kH264DecoderSession);
    session.def(py::init([](const FilePath& path, const std::string& deblocking, bool motion_vectors, bool mb_types,
                            const std::optional<int>& read_ahead, const std::optional<int>& stream) {
                 return open_session(path.bytes, deblocking, motion_vectors, mb_types, read_ahead, stream);
             }),
             py::arg("path"), py::kw_only(), py::arg("deblocking") = "skip", py::arg("motion_vectors") = false,
             py::arg("mb_types") = false, py::arg("read_ahead") = py::none(), py::arg("stream") = py::none(),
             docstrings::kInit)
        .def_property_readonly("width", [](const Session& s) { return s.facts().width; }, docstrings::kWidth)
        .def_property_readonly("height", [](const Session& s) { return s.facts().height; }, docstrings::kHeight)
        .def_property_readonly("mb_cols", [](const Session& s) { return s.facts().mb_cols; }, docstrings::kMbCols)
        .def_property_readonly("mb_rows", [](const Session& s) { return s.facts().mb_rows; }, docstrings::kMbRows)
        .def_property_readonly("num_frames", [](const Session& s) { return s.num_frames(); }, docstrings::kNumFrames)
        .def_property_readonly("fps", [](const Session& s) { return s.facts().fps; }, docstrings::kFps)
        .def_property_readonly("fps_num", [](const Session& s) { return s.facts().fps_num; }, docstrings::kFpsNum)
        .def_property_readonly("fps_den", [](const Session& s) { return s.facts().fps_den; }, docstrings::kFpsDen)
        .def_property_readonly("pix_fmt", [](const Session& s) { return s.facts().pix_fmt; }, docstrings::kPixFmt)
        .def_property_readonly("bytes_per_sample", [](const Session& s) { return s.facts().bytes_per_sample; },
                               docstrings::kBytesPerSample)
        .def_property_readonly("codec", [](const Session& s) { return s.facts().codec; }, docstrings::kCodec)
        .def_property_readonly("stream_index", [](const Session& s) { return s.index()->stream; },
                               docstrings::kStreamIndex)
        .def_property_readonly(
            "qp_scale", [](const Session& s) { return qp_scale_name(qp_scale_of(s.facts().codec_id)); },
            docstrings::kQpScale)
        .def_property_readonly(
            "time_base", [](const Session& s) { return fraction(s.index()->pts_time_base()); }, docstrings::kTimeBase)
        .def_property_readonly("declared_duration", [](const Session& s) { return s.index()->extent.declared_duration; },
                               docstrings::kDeclaredDuration)
        .def_property_readonly("declared_frames", [](const Session& s) { return s.index()->extent.declared_frames; },
                               docstrings::kDeclaredFrames)
        .def_property_readonly("truncated", [](const Session& s) { return s.index()->extent.truncated; },
                               docstrings::kTruncated)
        .def_property_readonly("closed", &Session::closed, docstrings::kClosed)
        .def("close", &Session::close, py::call_guard<py::gil_scoped_release>(), docstrings::kClose)
        .def("__enter__", [](const std::shared_ptr<Session>& s) { s->check_open(); return s; }, docstrings::kEnter)
        .def("__exit__",
             [](Session& s, const py::object&, const py::object&, const py::object&) {
                 py::gil_scoped_release release;
                 s.close();
             },
             py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"), docstrings::kExit)
        .def(py::pickle(&session_state, &session_from_state))
        .def("get_qpmap", &get_qpmap, py::arg("frame_idx"), py::kw_only(), py::arg("source") = "decode",
             docstrings::kGetQpmap)
        .def("get_plane_data", &get_plane_data, py::arg("frame_idx"), py::arg("plane"), docstrings::kGetPlaneData)
        .def("get_chroma_qp_offset", &get_chroma_qp_offset, py::arg("frame_idx"), docstrings::kGetChromaQpOffset)
        .def("get_frame_type", &get_frame_type, py::arg("frame_idx"), docstrings::kGetFrameType)
        .def("is_key_frame", &is_key_frame, py::arg("frame_idx"), docstrings::kIsKeyFrame)
        .def("is_damaged", &is_damaged, py::arg("frame_idx"), docstrings::kIsDamaged)
        .def("get_motion_vectors", &get_motion_vectors, py::arg("frame_idx"), docstrings::kGetMotionVectors)
        .def("get_mv_field", &get_mv_field, py::arg("frame_idx"), docstrings::kGetMvField)
        .def("get_mbtype_map", &get_mbtype_map, py::arg("frame_idx"), py::kw_only(), py::arg("source") = py::none(),
             docstrings::kGetMbtypeMap)
        .def("copy_plane_to_ptr", &copy_plane_to_ptr, py::arg("frame_idx"), py::arg("plane"), py::arg("dst_ptr"),
             py::arg("dst_stride"), docstrings::kCopyPlaneToPtr)
        .def("get_qpmaps", &get_qpmaps, py::arg("frames") = py::none(), py::kw_only(), py::arg("threads") = 0,
             py::arg("undecodable") = "raise", docstrings::kGetQpmaps)
        .def("get_mbtype_maps", &get_mbtype_maps, py::arg("frames") = py::none(), py::kw_only(),
             py::arg("threads") = 0, py::arg("undecodable") = "raise", docstrings::kGetMbtypeMaps)
        .def("get_planes", &get_planes, py::arg("frames"), py::arg("plane"), py::kw_only(), py::arg("threads") = 0,
             docstrings::kGetPlanes)
        .def("frame_stats", &frame_stats, py::arg("frames") = py::none(), py::kw_only(), py::arg("threads") = 0,
             docstrings::kFrameStats)
        .def("key_frame_intervals", &key_frame_intervals, docstrings::kKeyFrameIntervals)
        // For tests: the frames the read-ahead served and the bytes of snapshots it held.
        .def("_read_ahead_diagnostics", [](const Session& s) {
            const SnapshotBytes bytes = s.read_ahead_bytes();
            return py::dict(py::arg("frames_taken") = s.frames_read_ahead(), py::arg("bytes_held") = bytes.held,
                            py::arg("peak_bytes_held") = bytes.peak, py::arg("byte_budget") = bytes.budget);
        });
    register_syntax_methods(session);
    register_reconstruct_methods(m, session);
}
