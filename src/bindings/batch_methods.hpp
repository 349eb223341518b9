#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/typing.h>

#include "arguments.hpp"
#include "h264_decoder_session.hpp"

namespace py = pybind11;

// Many frames at once on parallel decoders. Each converts its arguments and sizes its result
// with the GIL held, decodes with it released throughout, and raises, after every worker has
// ended, the error of the lowest frame that failed: RuntimeError as the frame methods for a
// frame the decoder does not produce, ValueError for one that does not fit the session's
// facts. `frames` is an iterable of frame numbers, one frame number, or None for every frame.
// A closed session raises its RuntimeError. The map batches take `undecodable`: "raise", or
// "mark" to give a frame the decoder does not produce a damaged picture's map.

py::array_t<int8_t> get_qpmaps(H264DecoderSession& session, const FrameNumbers& frames, const IndexArgument& threads,
                               const std::string& undecodable);

// (len(frames), mb_rows, mb_cols) macroblock records, as get_mbtype_map gives each.
py::array get_mbtype_maps(H264DecoderSession& session, const FrameNumbers& frames, const IndexArgument& threads,
                          const std::string& undecodable);

// frame_stats' dict, which help() names by the typed mapping that describes it.
class FrameStatsColumns : public py::dict {
public:
    PYBIND11_OBJECT_DEFAULT(FrameStatsColumns, dict, PyDict_Check)
};

template <>
struct pybind11::detail::handle_type_name<FrameStatsColumns> {
    static constexpr auto name = const_name("vexmira_tools.FrameStats");
};

using PlaneArrays = py::typing::Union<py::array_t<uint8_t>, py::array_t<uint16_t>>;

PlaneArrays get_planes(H264DecoderSession& session, const FrameNumbers& frames, const IndexArgument& plane,
                     const IndexArgument& threads);

FrameStatsColumns frame_stats(H264DecoderSession& session, const FrameNumbers& frames, const IndexArgument& threads);

py::array_t<int32_t> key_frame_intervals(const H264DecoderSession& session);

// The frame numbers of `frames` (None: every frame) as the batch methods take them:
// std::out_of_range for a number outside the index, TypeError for what is not an index.
std::vector<int32_t> requested_frames(const H264DecoderSession& session, const py::object& frames);
