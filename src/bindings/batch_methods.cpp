#include "batch_methods.hpp"

#include <algorithm>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

#include "batch/batch_decoding.hpp"
#include "batch/frame_batches.hpp"
#include "batch/frame_stats.hpp"
#include "frame/picture_area.hpp"
#include "interrupts.hpp"
#include "mb_type_records.hpp"
#include "python_logging.hpp"
#include "table_columns.hpp"

std::vector<int32_t> requested_frames(const H264DecoderSession& session, const py::object& frames) {
    session.check_open();
    std::vector<int32_t> requested;
    if (frames.is_none()) {
        requested.resize(static_cast<std::size_t>(session.num_frames()));
        std::iota(requested.begin(), requested.end(), 0);
        return requested;
    }
    // A generator's iterator is the generator itself: asking for it consumes nothing.
    const auto iterator = py::reinterpret_steal<py::object>(PyObject_GetIter(frames.ptr()));
    if (!iterator) {
        PyErr_Clear();
        // One number is that one frame (NumPy's integers too, and 0-d arrays of them).
        if (PyIndex_Check(frames.ptr())) {
            requested.push_back(frame_number(session, frames, "frames"));
            return requested;
        }
        throw py::type_error("frames must be None, a frame number or an iterable of frame numbers, not " +
                             py::type::handle_of(frames).attr("__name__").cast<std::string>());
    }
    for (const py::handle item : iterator) {
        requested.push_back(frame_number(session, item, "frames"));
    }
    return requested;
}

namespace {

Undecodable undecodable_policy(const std::string& undecodable) {
    if (undecodable == "raise") {
        return Undecodable::Raise;
    }
    if (undecodable == "mark") {
        return Undecodable::Mark;
    }
    throw std::invalid_argument("undecodable must be \"raise\" or \"mark\", not \"" + undecodable + "\"");
}

}  // namespace

py::array_t<int8_t> get_qpmaps(H264DecoderSession& session, const FrameNumbers& frames, const IndexArgument& threads,
                               const std::string& undecodable) {
    const std::vector<int32_t> requested = requested_frames(session, frames);
    const int thread_setting = thread_count(threads);
    const Undecodable policy = undecodable_policy(undecodable);
    const StreamFacts& facts = session.facts();
    py::array_t<int8_t> maps({static_cast<py::ssize_t>(requested.size()), static_cast<py::ssize_t>(facts.mb_rows),
                              static_cast<py::ssize_t>(facts.mb_cols)});
    int8_t* destination = maps.mutable_data();
    {
        const FfmpegMessagesToLogging messages(session.index()->path);
        const PythonInterruptCheck interrupts;
        py::gil_scoped_release release;
        decode_qp_maps(session.index(), session.options(), requested, thread_setting, policy, destination);
    }
    return maps;
}

py::array get_mbtype_maps(H264DecoderSession& session, const FrameNumbers& frames, const IndexArgument& threads,
                          const std::string& undecodable) {
    check_mb_types_exported(session);
    const std::vector<int32_t> requested = requested_frames(session, frames);
    const int thread_setting = thread_count(threads);
    const Undecodable policy = undecodable_policy(undecodable);
    const StreamFacts& facts = session.facts();
    const std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(requested.size()),
                                         static_cast<py::ssize_t>(facts.mb_rows),
                                         static_cast<py::ssize_t>(facts.mb_cols)};
    py::array maps(mb_type_dtype(), shape, std::vector<py::ssize_t>{});
    auto* destination = static_cast<MacroblockCoding*>(maps.mutable_data());
    {
        const FfmpegMessagesToLogging messages(session.index()->path);
        const PythonInterruptCheck interrupts;
        py::gil_scoped_release release;
        decode_mb_type_maps(session.index(), session.options(), requested, thread_setting, policy, destination);
    }
    return maps;
}

PlaneArrays get_planes(H264DecoderSession& session, const FrameNumbers& frames, const IndexArgument& plane_argument,
                     const IndexArgument& threads) {
    session.check_open();
    check_plane_batch_possible(session.options());
    const std::vector<int32_t> requested = requested_frames(session, frames);
    const int thread_setting = thread_count(threads);
    const int32_t plane = plane_number(plane_argument);
    const PlaneShape shape = plane_shape(session.facts(), plane);
    const py::dtype dtype =
        session.facts().bytes_per_sample == 2 ? py::dtype::of<uint16_t>() : py::dtype::of<uint8_t>();
    py::array stacked(dtype, {static_cast<py::ssize_t>(requested.size()), static_cast<py::ssize_t>(shape.rows),
                              static_cast<py::ssize_t>(shape.columns)});
    auto* destination = static_cast<uint8_t*>(stacked.mutable_data());
    {
        const FfmpegMessagesToLogging messages(session.index()->path);
        const PythonInterruptCheck interrupts;
        py::gil_scoped_release release;
        decode_plane_areas(session.index(), session.options(), requested, plane, thread_setting, destination);
    }
    return PlaneArrays(stacked);
}

FrameStatsColumns frame_stats(H264DecoderSession& session, const FrameNumbers& frames, const IndexArgument& threads) {
    const std::vector<int32_t> requested = requested_frames(session, frames);
    const int thread_setting = thread_count(threads);
    FrameStatsTable table;
    {
        const FfmpegMessagesToLogging messages(session.index()->path);
        const PythonInterruptCheck interrupts;
        py::gil_scoped_release release;
        table = collect_frame_stats(session.index(), session.options(), requested, thread_setting);
    }
    FrameStatsColumns columns{py::dict()};
    columns["frame"] = column(table.frame);
    columns["pts"] = column(table.pts);
    columns["time"] = column(table.seconds);
    columns["pict_type"] = picture_type_column(table.picture_type);
    columns["key_frame"] = bool_column(table.key_frame);
    columns["pkt_size"] = column(table.packet_bytes);
    columns["qp_mean"] = column(table.qp_mean);
    columns["qp_min"] = column(table.qp_min);
    columns["qp_max"] = column(table.qp_max);
    columns["chroma_qp_offset_cb"] = column(table.chroma_qp_offset_cb);
    columns["chroma_qp_offset_cr"] = column(table.chroma_qp_offset_cr);
    columns["decoded"] = bool_column(table.decoded);
    columns["damaged"] = bool_column(table.damaged);
    if (session.options().mb_types) {
        columns["mb_intra"] = column(table.mb_intra);
        columns["mb_skip"] = column(table.mb_skip);
        columns["mb_direct"] = column(table.mb_direct);
        columns["mb_inter"] = column(table.mb_inter);
    }
    return columns;
}

py::array_t<int32_t> key_frame_intervals(const H264DecoderSession& session) {
    session.check_open();
    return column(session.index()->interval_starts);
}
