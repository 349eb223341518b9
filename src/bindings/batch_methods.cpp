#include "batch_methods.hpp"

#include <algorithm>
#include <cstring>
#include <exception>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include "batch_decoding.hpp"
#include "frame_methods.hpp"
#include "frame_stats.hpp"

namespace {

std::vector<int32_t> requested_frames(const H264DecoderSession& session, const py::object& frames) {
    std::vector<int32_t> requested;
    if (frames.is_none()) {
        requested.resize(static_cast<std::size_t>(session.num_frames));
        std::iota(requested.begin(), requested.end(), 0);
        return requested;
    }
    for (const py::handle item : py::iter(frames)) {
        // Whatever Python takes as an index (NumPy's integers too), and nothing else: a
        // TypeError for the rest, as for a list's subscript.
        const auto number = py::reinterpret_steal<py::object>(PyNumber_Index(item.ptr()));
        if (!number) {
            throw py::error_already_set();
        }
        int overflow = 0;
        const long long index = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
        if (overflow != 0 || index < 0 || index >= session.num_frames) {
            throw std::out_of_range("Frame index out of bounds: " + py::str(number).cast<std::string>());
        }
        requested.push_back(static_cast<int32_t>(index));
    }
    return requested;
}

// The requested frames, repeats and all, against the distinct frames the workers decode:
// where each result of a distinct frame goes, and what became of it.
class RequestSlots {
public:
    explicit RequestSlots(const std::vector<int32_t>& requested) : by_frame_(requested.size()) {
        std::iota(by_frame_.begin(), by_frame_.end(), std::size_t{0});
        std::stable_sort(by_frame_.begin(), by_frame_.end(),
                         [&requested](std::size_t a, std::size_t b) { return requested[a] < requested[b]; });
        for (std::size_t i = 0; i < by_frame_.size(); ++i) {
            const int32_t frame = requested[by_frame_[i]];
            if (distinct_.empty() || distinct_.back() != frame) {
                distinct_.push_back(frame);
                first_.push_back(i);
            }
        }
        first_.push_back(by_frame_.size());
        failures_.resize(distinct_.size());
    }

    const std::vector<int32_t>& distinct() const { return distinct_; }

    // Calls write(position) for every place in the result that the frame fills.
    template <typename Write>
    void for_each_position(int32_t frame, Write write) const {
        const std::size_t d = distinct_index(frame);
        for (std::size_t i = first_[d]; i < first_[d + 1]; ++i) {
            write(by_frame_[i]);
        }
    }

    // Workers record failures of different frames only, so they never write the same entry.
    void record_failure(int32_t frame, std::exception_ptr failure) { failures_[distinct_index(frame)] = failure; }

    void raise_lowest_failure(const std::vector<uint8_t>& delivered) const {
        for (std::size_t d = 0; d < distinct_.size(); ++d) {
            if (failures_[d]) {
                std::rethrow_exception(failures_[d]);
            }
            if (!delivered[d]) {
                throw std::runtime_error("Failed to decode frame " + std::to_string(distinct_[d]));
            }
        }
    }

private:
    std::size_t distinct_index(int32_t frame) const {
        return static_cast<std::size_t>(std::lower_bound(distinct_.begin(), distinct_.end(), frame) -
                                        distinct_.begin());
    }

    std::vector<std::size_t> by_frame_;
    std::vector<int32_t> distinct_;
    std::vector<std::size_t> first_;
    std::vector<std::exception_ptr> failures_;
};

std::exception_ptr misfit(const H264DecoderSession& session, const CachedFrame& frame, int32_t index) {
    try {
        check_fits_session(session, frame, index);
    } catch (const std::invalid_argument&) {
        return std::current_exception();
    }
    return nullptr;
}

// Runs the batch without the GIL and raises what it left; `deliver` must not touch Python.
template <typename Deliver>
void decode_into(H264DecoderSession& session, RequestSlots& slots, int threads, bool with_pixels,
                 Deliver deliver) {
    std::vector<uint8_t> delivered;
    {
        py::gil_scoped_release release;
        delivered = decode_batch(session, slots.distinct(), threads,
                                 [&](const DecodedPicture& picture) { deliver(picture); }, with_pixels);
    }
    slots.raise_lowest_failure(delivered);
}

struct PlaneShape {
    py::ssize_t rows;
    py::ssize_t columns;
};

// The plane's picture area in samples, as the session's facts give it.
PlaneShape session_plane_shape(const H264DecoderSession& session, int32_t plane) {
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(av_get_pix_fmt(session.pix_fmt.c_str()));
    const int planes = desc ? std::min(av_pix_fmt_count_planes(av_get_pix_fmt(session.pix_fmt.c_str())),
                                       CachedFrame::kMaxPlanes)
                            : 0;
    if (plane < 0 || plane >= planes) {
        throw std::out_of_range("Invalid plane index");
    }
    if (plane == 0) {
        return PlaneShape{session.height, session.width};
    }
    return PlaneShape{-((-session.height) >> desc->log2_chroma_h), -((-session.width) >> desc->log2_chroma_w)};
}

void copy_picture_rows(const CachedFrame& frame, int32_t plane, std::size_t row_bytes, uint8_t* destination) {
    for (int32_t row = 0; row < frame.plane_height[plane]; ++row) {
        std::memcpy(destination + row * row_bytes,
                    frame.planes[plane] + static_cast<std::size_t>(row) * frame.linesize[plane], row_bytes);
    }
}

template <typename T>
py::array_t<T> column(const std::vector<T>& values) {
    return py::array_t<T>(static_cast<py::ssize_t>(values.size()), values.data());
}

py::array bool_column(const std::vector<uint8_t>& values) {
    return column(values).attr("astype")("bool");
}

// One-letter strings, '' for a frame without picture: NumPy's UCS-4 storage, one code point each.
// Picture types are at most two ASCII letters ("SI", "SP"), empty for a frame not decoded.
py::array picture_type_column(const std::vector<std::string>& types) {
    constexpr std::size_t kLetters = 2;
    py::array array(py::dtype("<U2"), py::array::ShapeContainer{static_cast<py::ssize_t>(types.size())});
    auto* code_points = static_cast<uint32_t*>(array.mutable_data());
    std::fill(code_points, code_points + types.size() * kLetters, 0);
    for (std::size_t i = 0; i < types.size(); ++i) {
        for (std::size_t letter = 0; letter < std::min(types[i].size(), kLetters); ++letter) {
            code_points[i * kLetters + letter] = static_cast<unsigned char>(types[i][letter]);
        }
    }
    return array;
}

}  // namespace

py::array_t<int8_t> get_qpmaps(H264DecoderSession& session, const py::object& frames, int threads) {
    const std::vector<int32_t> requested = requested_frames(session, frames);
    resolve_thread_count(threads);
    RequestSlots slots(requested);
    py::array_t<int8_t> maps({static_cast<py::ssize_t>(requested.size()), static_cast<py::ssize_t>(session.mb_rows),
                              static_cast<py::ssize_t>(session.mb_cols)});
    int8_t* destination = maps.mutable_data();
    const std::size_t map_size = static_cast<std::size_t>(session.mb_rows) * static_cast<std::size_t>(session.mb_cols);
    decode_into(session, slots, threads, false, [&](const DecodedPicture& picture) {
        const CachedFrame& frame = *picture.snapshot;
        if (frame.mb_rows != session.mb_rows || frame.mb_cols != session.mb_cols) {
            slots.record_failure(picture.frame, misfit(session, frame, picture.frame));
            return;
        }
        slots.for_each_position(picture.frame, [&](std::size_t position) {
            std::memcpy(destination + position * map_size, frame.qp_map.data(), map_size);
        });
    });
    return maps;
}

py::array get_planes(H264DecoderSession& session, const py::object& frames, int32_t plane, int threads) {
    if (session.options.deblocking == DeblockingMode::Exact) {
        throw std::invalid_argument(
            "get_planes cannot give deblocking=\"exact\" pictures: ask get_plane_data for each frame");
    }
    const std::vector<int32_t> requested = requested_frames(session, frames);
    resolve_thread_count(threads);
    const PlaneShape shape = session_plane_shape(session, plane);
    RequestSlots slots(requested);
    const py::dtype dtype = session.bytes_per_sample == 2 ? py::dtype::of<uint16_t>() : py::dtype::of<uint8_t>();
    py::array stacked(dtype, {static_cast<py::ssize_t>(requested.size()), shape.rows, shape.columns});
    auto* destination = static_cast<uint8_t*>(stacked.mutable_data());
    const std::size_t row_bytes = static_cast<std::size_t>(shape.columns) * session.bytes_per_sample;
    const std::size_t plane_bytes = row_bytes * static_cast<std::size_t>(shape.rows);
    decode_into(session, slots, threads, true, [&](const DecodedPicture& picture) {
        const CachedFrame& frame = *picture.snapshot;
        if (std::exception_ptr failure = misfit(session, frame, picture.frame)) {
            slots.record_failure(picture.frame, failure);
            return;
        }
        slots.for_each_position(picture.frame, [&](std::size_t position) {
            copy_picture_rows(frame, plane, row_bytes, destination + position * plane_bytes);
        });
    });
    return stacked;
}

py::dict frame_stats(H264DecoderSession& session, int threads, const py::object& frames) {
    const std::vector<int32_t> requested = requested_frames(session, frames);
    resolve_thread_count(threads);
    FrameStatsTable table;
    {
        py::gil_scoped_release release;
        table = collect_frame_stats(session, requested, threads);
    }
    py::dict columns;
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
    return columns;
}

py::array_t<int32_t> key_frame_intervals(const H264DecoderSession& session) {
    return column(interval_starts(session));
}
