#include "syntax_methods.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include "arguments.hpp"
#include "batch/batch_decoding.hpp"
#include "batch_methods.hpp"
#include "docstrings.hpp"
#include "record_dtype.hpp"
#include "syntax/syntax_batch.hpp"

namespace {

py::dtype mb_syntax_dtype() {
    return record_dtype({{"type", "u1", offsetof(MbSyntaxRecord, type)},
                         {"partition", "u1", offsetof(MbSyntaxRecord, partition)},
                         {"interlaced", "?", offsetof(MbSyntaxRecord, interlaced)},
                         {"mb_type", "<i2", offsetof(MbSyntaxRecord, mb_type)},
                         {"sub_mb_type", "(4,)i1", offsetof(MbSyntaxRecord, sub_mb_type)},
                         {"transform_8x8", "?", offsetof(MbSyntaxRecord, transform_8x8)},
                         {"intra_modes", "(16,)i1", offsetof(MbSyntaxRecord, intra_modes)},
                         {"chroma_mode", "i1", offsetof(MbSyntaxRecord, chroma_mode)},
                         {"ref_idx", "(2,4)i1", offsetof(MbSyntaxRecord, ref_idx)},
                         {"mvd", "(2,16,2)<i2", offsetof(MbSyntaxRecord, mvd)},
                         {"cbp", "<i2", offsetof(MbSyntaxRecord, cbp)},
                         {"qp_delta", "i1", offsetof(MbSyntaxRecord, qp_delta)},
                         {"qp", "i1", offsetof(MbSyntaxRecord, qp)},
                         {"slice", "<i2", offsetof(MbSyntaxRecord, slice)},
                         {"parsed", "?", offsetof(MbSyntaxRecord, parsed)},
                         {"bits_header", "<i4", offsetof(MbSyntaxRecord, bits_header)},
                         {"bits_prediction", "<i4", offsetof(MbSyntaxRecord, bits_prediction)},
                         {"bits_residual", "<i4", offsetof(MbSyntaxRecord, bits_residual)}},
                        sizeof(MbSyntaxRecord));
}

FrameSyntax read_frame_syntax(H264DecoderSession& session, const IndexArgument& frame_idx, bool with_coefficients) {
    const int32_t frame = checked_frame_number(session, frame_idx);
    FrameSyntax syntax;
    py::gil_scoped_release release;
    session.syntax_reader()->read(frame, with_coefficients, syntax);
    return syntax;
}

py::array get_mb_syntax(H264DecoderSession& session, const IndexArgument& frame_idx) {
    const FrameSyntax syntax = read_frame_syntax(session, frame_idx, false);
    py::array map(mb_syntax_dtype(), std::vector<py::ssize_t>{syntax.rows, syntax.cols}, std::vector<py::ssize_t>{});
    std::memcpy(map.mutable_data(), syntax.records.data(), syntax.records.size() * sizeof(MbSyntaxRecord));
    return map;
}

py::tuple get_coefficients(H264DecoderSession& session, const IndexArgument& frame_idx) {
    const FrameSyntax syntax = read_frame_syntax(session, frame_idx, true);
    py::list planes;
    for (int plane = 0; plane < 3; ++plane) {
        const CoefficientPlanes& levels = syntax.coefficients;
        py::array_t<int32_t> array({static_cast<py::ssize_t>(levels.height[plane]),
                                    static_cast<py::ssize_t>(levels.width[plane])});
        if (!levels.planes[plane].empty()) {
            std::copy(levels.planes[plane].begin(), levels.planes[plane].end(), array.mutable_data());
        }
        planes.append(array);
    }
    return py::tuple(planes);
}

py::array get_mb_syntaxes(H264DecoderSession& session, const FrameNumbers& frames, const IndexArgument& threads) {
    const std::vector<int32_t> requested = requested_frames(session, frames);
    const int readers = threads.is_none() ? 0 : thread_count(threads);
    const StreamFacts& facts = session.facts();
    const std::size_t cells = static_cast<std::size_t>(facts.mb_rows) * facts.mb_cols;
    py::array maps(mb_syntax_dtype(),
                   std::vector<py::ssize_t>{static_cast<py::ssize_t>(requested.size()), facts.mb_rows, facts.mb_cols},
                   std::vector<py::ssize_t>{});
    auto* records = static_cast<MbSyntaxRecord*>(maps.mutable_data());
    std::fill(records, records + requested.size() * cells, MbSyntaxRecord{});
    {
        py::gil_scoped_release release;
        const std::shared_ptr<FrameSyntaxReader> reader = session.syntax_reader();
        read_syntax_of_frames(session.index(), session.options(), *reader, requested, readers,
                              [&](std::size_t position, const FrameSyntax& syntax) {
                                  std::copy_n(syntax.records.data(), std::min(cells, syntax.records.size()),
                                              records + position * cells);
                              });
    }
    return maps;
}

}  // namespace

void register_syntax_methods(py::class_<H264DecoderSession, std::shared_ptr<H264DecoderSession>>& session) {
    session.def("get_mb_syntax", &get_mb_syntax, py::arg("frame_idx"), docstrings::kGetMbSyntax)
        .def("get_coefficients", &get_coefficients, py::arg("frame_idx"), docstrings::kGetCoefficients)
        .def("get_mb_syntaxes", &get_mb_syntaxes, py::arg("frames") = py::none(), py::kw_only(),
             py::arg("threads") = py::none(), docstrings::kGetMbSyntaxes);
}
