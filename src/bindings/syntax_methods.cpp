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
#include "interrupts.hpp"
#include "python_logging.hpp"
#include "record_dtype.hpp"
#include "reconstruct/residual_stats.hpp"
#include "syntax/syntax_batch.hpp"
#include "syntax/syntax_stats.hpp"
#include "table_columns.hpp"

// syntax_stats' dict, which help() names by the typed mapping that describes it.
class SyntaxStatsColumns : public py::dict {
public:
    PYBIND11_OBJECT_DEFAULT(SyntaxStatsColumns, dict, PyDict_Check)
};

template <>
struct pybind11::detail::handle_type_name<SyntaxStatsColumns> {
    static constexpr auto name = const_name("vexmira_tools.SyntaxStats");
};

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

FrameSyntax read_frame_syntax(H264DecoderSession& session, const IndexArgument& frame_idx, SyntaxDepth depth) {
    const int32_t frame = checked_frame_number(session, frame_idx);
    FrameSyntax syntax;
    const FfmpegMessagesToLogging messages(session.index()->path);
    py::gil_scoped_release release;
    session.syntax_reader()->read(frame, depth, syntax);
    return syntax;
}

py::array get_mb_syntax(H264DecoderSession& session, const IndexArgument& frame_idx) {
    const FrameSyntax syntax = read_frame_syntax(session, frame_idx, SyntaxDepth::Records);
    py::array map(mb_syntax_dtype(), std::vector<py::ssize_t>{syntax.rows, syntax.cols}, std::vector<py::ssize_t>{});
    std::memcpy(map.mutable_data(), syntax.records.data(), syntax.records.size() * sizeof(MbSyntaxRecord));
    return map;
}

py::tuple get_coefficients(H264DecoderSession& session, const IndexArgument& frame_idx) {
    const FrameSyntax syntax = read_frame_syntax(session, frame_idx, SyntaxDepth::Levels);
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
        const PythonInterruptCheck interrupts;
        const FfmpegMessagesToLogging messages(session.index()->path);
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

// Each summary's field as one column.
template <typename T>
std::vector<T> field_of(const std::vector<FrameSummary>& rows, T FrameSummary::*field) {
    std::vector<T> values;
    values.reserve(rows.size());
    for (const FrameSummary& row : rows) {
        values.push_back(row.*field);
    }
    return values;
}

SyntaxStatsColumns summary_columns(const SyntaxStatsTable& table) {
    const std::vector<FrameSummary>& rows = table.summaries;
    SyntaxStatsColumns columns{py::dict()};
    columns["frame"] = column(table.frame);
    columns["pts"] = column(table.pts);
    columns["time"] = column(table.seconds);
    columns["pict_type"] = picture_type_column(field_of(rows, &FrameSummary::picture_type));
    columns["key_frame"] = bool_column(field_of(rows, &FrameSummary::key));
    columns["pkt_size"] = column(table.packet_bytes);
    columns["qp_mean"] = column(field_of(rows, &FrameSummary::qp_mean));
    columns["qp_min"] = column(field_of(rows, &FrameSummary::qp_min));
    columns["qp_max"] = column(field_of(rows, &FrameSummary::qp_max));
    columns["mb_intra"] = column(field_of(rows, &FrameSummary::mb_intra));
    columns["mb_skip"] = column(field_of(rows, &FrameSummary::mb_skip));
    columns["mb_direct"] = column(field_of(rows, &FrameSummary::mb_direct));
    columns["mb_inter"] = column(field_of(rows, &FrameSummary::mb_inter));
    columns["parsed"] = bool_column(field_of(rows, &FrameSummary::parsed));
    columns["bits_header"] = column(field_of(rows, &FrameSummary::bits_header));
    columns["bits_prediction"] = column(field_of(rows, &FrameSummary::bits_prediction));
    columns["bits_residual"] = column(field_of(rows, &FrameSummary::bits_residual));
    columns["nonzero_coefficients"] = column(field_of(rows, &FrameSummary::nonzero_coefficients));
    columns["qp_mean_coded"] = column(field_of(rows, &FrameSummary::qp_mean_coded));
    columns["sub8x8_share"] = column(field_of(rows, &FrameSummary::sub8x8_share));
    return columns;
}

void add_energy_columns(const std::vector<ResidualEnergy>& energy, SyntaxStatsColumns& columns) {
    const char* names[3] = {"residual_energy_y", "residual_energy_cb", "residual_energy_cr"};
    for (int plane = 0; plane < 3; ++plane) {
        std::vector<double> values;
        values.reserve(energy.size());
        for (const ResidualEnergy& frame : energy) {
            values.push_back(frame.plane[plane]);
        }
        columns[names[plane]] = column(values);
    }
}

SyntaxStatsColumns syntax_stats(H264DecoderSession& session, const FrameNumbers& frames, const IndexArgument& threads,
                                bool residual) {
    const std::vector<int32_t> requested = requested_frames(session, frames);
    const int readers = threads.is_none() ? 0 : thread_count(threads);
    ResidualStatsTable table;
    {
        const PythonInterruptCheck interrupts;
        const FfmpegMessagesToLogging messages(session.index()->path);
        py::gil_scoped_release release;
        const std::shared_ptr<FrameSyntaxReader> reader = session.syntax_reader();
        if (residual) {
            table = collect_residual_stats(session.index(), session.options(), *reader, requested, readers);
        } else {
            table.syntax = collect_syntax_stats(session.index(), session.options(), *reader, requested, readers);
        }
    }
    SyntaxStatsColumns columns = summary_columns(table.syntax);
    if (residual) {
        add_energy_columns(table.energy, columns);
    }
    return columns;
}

}  // namespace

void register_syntax_methods(py::class_<H264DecoderSession, std::shared_ptr<H264DecoderSession>>& session) {
    session.def("get_mb_syntax", &get_mb_syntax, py::arg("frame_idx"), docstrings::kGetMbSyntax)
        .def("get_coefficients", &get_coefficients, py::arg("frame_idx"), docstrings::kGetCoefficients)
        .def("get_mb_syntaxes", &get_mb_syntaxes, py::arg("frames") = py::none(), py::kw_only(),
             py::arg("threads") = py::none(), docstrings::kGetMbSyntaxes)
        .def("syntax_stats", &syntax_stats, py::arg("frames") = py::none(), py::kw_only(),
             py::arg("threads") = py::none(), py::arg("residual") = false, docstrings::kSyntaxStats);
}
