#include "frame_methods.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "frame/frame_not_decoded.hpp"
#include "frame/motion_vector_field.hpp"
#include "frame/picture_area.hpp"
#include "mb_type_records.hpp"
#include "python_logging.hpp"
#include "syntax/parsed_maps.hpp"
#include "record_dtype.hpp"

namespace {

std::shared_ptr<FrameSnapshot> fetch_frame(H264DecoderSession& session, int32_t frame_idx, bool needs_pixels) {
    const FfmpegMessagesToLogging messages(session.index()->path);
    std::shared_ptr<FrameSnapshot> frame;
    {
        py::gil_scoped_release release;
        frame = session.get_frame(frame_idx, needs_pixels);
    }
    return frame;
}

std::shared_ptr<FrameSnapshot> fetch_frame(H264DecoderSession& session, const IndexArgument& frame_idx,
                                         bool needs_pixels) {
    return fetch_frame(session, checked_frame_number(session, frame_idx), needs_pixels);
}

template <typename Sample>
py::array_t<Sample> copy_plane_to_new_array(const FrameSnapshot& frame, int32_t plane, py::ssize_t columns) {
    py::array_t<Sample> array({static_cast<py::ssize_t>(frame.plane_height[plane]), columns});
    copy_rows_with_padding(frame, plane, reinterpret_cast<uint8_t*>(array.mutable_data()),
                           static_cast<std::size_t>(array.nbytes()));
    return array;
}

void check_motion_vectors_exported(const H264DecoderSession& session) {
    session.check_open();
    if (!session.options().motion_vectors) {
        throw std::runtime_error("Motion vectors are not exported by this session: open it with "
                                 "H264DecoderSession(path, motion_vectors=True)");
    }
}

// FFmpeg's AVMotionVector, its fields in the order users read them, without padding.
#pragma pack(push, 1)
struct MotionVectorRow {
    int32_t source;
    uint8_t w;
    uint8_t h;
    int16_t src_x;
    int16_t src_y;
    int16_t dst_x;
    int16_t dst_y;
    int32_t motion_x;
    int32_t motion_y;
    uint16_t motion_scale;
    uint64_t flags;
};
#pragma pack(pop)

py::dtype motion_vector_dtype() {
    return record_dtype({{"source", "<i4", offsetof(MotionVectorRow, source)},
                         {"w", "u1", offsetof(MotionVectorRow, w)},
                         {"h", "u1", offsetof(MotionVectorRow, h)},
                         {"src_x", "<i2", offsetof(MotionVectorRow, src_x)},
                         {"src_y", "<i2", offsetof(MotionVectorRow, src_y)},
                         {"dst_x", "<i2", offsetof(MotionVectorRow, dst_x)},
                         {"dst_y", "<i2", offsetof(MotionVectorRow, dst_y)},
                         {"motion_x", "<i4", offsetof(MotionVectorRow, motion_x)},
                         {"motion_y", "<i4", offsetof(MotionVectorRow, motion_y)},
                         {"motion_scale", "<u2", offsetof(MotionVectorRow, motion_scale)},
                         {"flags", "<u8", offsetof(MotionVectorRow, flags)}},
                        sizeof(MotionVectorRow));
}

MotionVectorRow as_row(const AVMotionVector& vector) {
    return {vector.source, vector.w,        vector.h,        vector.src_x,        vector.src_y, vector.dst_x,
            vector.dst_y,  vector.motion_x, vector.motion_y, vector.motion_scale, vector.flags};
}

}  // namespace

py::array_t<int8_t> get_qpmap(H264DecoderSession& session, const IndexArgument& frame_idx, const std::string& source) {
    session.check_open();
    const int32_t frame = frame_number(session, frame_idx, "frame_idx");
    const MapSource from = map_source_named(source, "source");
    if (from != MapSource::Decode) {
        std::optional<std::vector<int8_t>> parsed;
        {
            const FfmpegMessagesToLogging messages(session.index()->path);
            py::gil_scoped_release release;
            parsed = qp_map_from_syntax(*session.syntax_reader(), frame, from);
        }
        if (parsed) {
            py::array_t<int8_t> qp_map({static_cast<py::ssize_t>(session.facts().mb_rows),
                                        static_cast<py::ssize_t>(session.facts().mb_cols)});
            std::memcpy(qp_map.mutable_data(), parsed->data(), parsed->size());
            return qp_map;
        }
    }
    const std::shared_ptr<FrameSnapshot> snapshot = fetch_frame(session, frame, false);
    py::array_t<int8_t> qp_map(
        {static_cast<py::ssize_t>(snapshot->mb_rows), static_cast<py::ssize_t>(snapshot->mb_cols)});
    if (!snapshot->qp_map.empty()) {
        std::memcpy(qp_map.mutable_data(), snapshot->qp_map.data(), snapshot->qp_map.size());
    }
    return qp_map;
}

PlaneArray get_plane_data(H264DecoderSession& session, const IndexArgument& frame_idx,
                          const IndexArgument& plane_argument) {
    const int32_t plane = plane_number(plane_argument);
    const std::shared_ptr<FrameSnapshot> frame = fetch_frame(session, frame_idx, true);
    check_plane(*frame, plane);
    // Row pitch in samples: the padding after each row's picture samples comes along.
    const py::ssize_t columns = frame->linesize[plane] / frame->bytes_per_sample;
    if (frame->bytes_per_sample == 2) {
        return PlaneArray(copy_plane_to_new_array<uint16_t>(*frame, plane, columns));
    }
    return PlaneArray(copy_plane_to_new_array<uint8_t>(*frame, plane, columns));
}

py::typing::Tuple<py::int_, py::int_> get_chroma_qp_offset(H264DecoderSession& session, const IndexArgument& frame_idx) {
    const std::shared_ptr<FrameSnapshot> frame = fetch_frame(session, frame_idx, false);
    return py::make_tuple(frame->chroma_qp_offset_cb, frame->chroma_qp_offset_cr);
}

py::str get_frame_type(H264DecoderSession& session, const IndexArgument& frame_idx) {
    return py::str(fetch_frame(session, frame_idx, false)->kind.type);
}

bool is_key_frame(H264DecoderSession& session, const IndexArgument& frame_idx) {
    return fetch_frame(session, frame_idx, false)->kind.key;
}

// A frame the decoder makes nothing of is as damaged as a frame can be.
bool is_damaged(H264DecoderSession& session, const IndexArgument& frame_idx) {
    try {
        return fetch_frame(session, frame_idx, false)->kind.damaged;
    } catch (const FrameNotDecoded&) {
        return true;
    }
}

py::array get_motion_vectors(H264DecoderSession& session, const IndexArgument& frame_idx) {
    check_motion_vectors_exported(session);
    const std::shared_ptr<FrameSnapshot> frame = fetch_frame(session, frame_idx, false);
    const std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(frame->motion_vectors.size())};
    py::array rows(motion_vector_dtype(), shape, std::vector<py::ssize_t>{});
    auto* row = static_cast<MotionVectorRow*>(rows.mutable_data());
    for (const AVMotionVector& vector : frame->motion_vectors) {
        *row++ = as_row(vector);
    }
    return rows;
}

py::array_t<int16_t> get_mv_field(H264DecoderSession& session, const IndexArgument& frame_idx) {
    check_motion_vectors_exported(session);
    const std::shared_ptr<FrameSnapshot> frame = fetch_frame(session, frame_idx, false);
    const int32_t rows = frame->mb_rows * 4;
    const int32_t columns = frame->mb_cols * 4;
    py::array_t<int16_t> field({py::ssize_t{2}, py::ssize_t{2}, static_cast<py::ssize_t>(rows),
                                static_cast<py::ssize_t>(columns)});
    fill_motion_field(frame->motion_vectors, rows, columns, field.mutable_data(), frame->crop_left, frame->crop_top);
    return field;
}

py::array get_mbtype_map(H264DecoderSession& session, const IndexArgument& frame_argument,
                         const std::optional<std::string>& source) {
    session.check_open();
    const int32_t frame_idx = frame_number(session, frame_argument, "frame_idx");
    const MapSource from = source ? map_source_named(*source, "source")
                                  : session.options().mb_types ? MapSource::Decode : MapSource::Parse;
    if (from != MapSource::Parse) {
        check_mb_types_exported(session);
    }
    std::optional<std::vector<MacroblockCoding>> parsed;
    if (from != MapSource::Decode) {
        const FfmpegMessagesToLogging messages(session.index()->path);
        py::gil_scoped_release release;
        parsed = mb_types_from_syntax(*session.syntax_reader(), frame_idx, from);
    }
    std::shared_ptr<FrameSnapshot> frame;
    if (!parsed) {
        frame = fetch_frame(session, frame_idx, false);
        require_read_map(frame->mb_types, frame_idx);
    }
    const std::vector<MacroblockCoding>& cells = parsed ? *parsed : frame->mb_types.cells;
    const std::vector<py::ssize_t> shape{parsed ? session.facts().mb_rows : frame->mb_rows,
                                         parsed ? session.facts().mb_cols : frame->mb_cols};
    py::array map(mb_type_dtype(), shape, std::vector<py::ssize_t>{});
    if (!cells.empty()) {
        std::memcpy(map.mutable_data(), cells.data(),
                    std::min(cells.size() * sizeof(MacroblockCoding), static_cast<std::size_t>(map.nbytes())));
    }
    return map;
}

// The copy happens without the GIL as well: it touches nothing of Python's.
void copy_plane_to_ptr(H264DecoderSession& session, const IndexArgument& frame_argument,
                       const IndexArgument& plane_argument, uint64_t dst_ptr, int32_t dst_stride) {
    const int32_t frame_idx = checked_frame_number(session, frame_argument);
    const int32_t plane = plane_number(plane_argument);
    const FfmpegMessagesToLogging messages(session.index()->path);
    py::gil_scoped_release release;
    const std::shared_ptr<FrameSnapshot> frame = session.get_frame(frame_idx, true);
    check_plane(*frame, plane);
    if (dst_ptr == 0) {
        throw std::invalid_argument("dst_ptr must not be 0");
    }
    if (dst_stride < 0) {
        throw std::invalid_argument("dst_stride must not be negative");
    }
    check_fits(session.facts(), *frame, frame_idx);
    copy_picture_rows(*frame, plane, reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(dst_ptr)), dst_stride);
}
