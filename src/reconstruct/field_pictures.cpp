#include "reconstruct/field_pictures.hpp"

#include <algorithm>

namespace {

// Copies every other row of `from` (rows of `width` entries), from row `parity` on, into
// `to` of `to_size` entries, or back where `spread` (`from` then of `from_size`).
template <typename T, typename U>
void every_other_row(const T* from, std::size_t from_size, U* to, std::size_t to_size, std::size_t width, int parity,
                     bool spread) {
    const std::size_t rows = (spread ? from_size : to_size) / std::max<std::size_t>(width, 1);
    for (std::size_t row = 0; row < rows; ++row) {
        const std::size_t frame_row = 2 * row + static_cast<std::size_t>(parity);
        const T* begin = from + (spread ? row : frame_row) * width;
        std::copy(begin, begin + width, to + (spread ? frame_row : row) * width);
    }
}

template <typename T, typename U>
void every_other_row(const std::vector<T>& from, std::vector<U>& to, std::size_t width, int parity, bool spread) {
    every_other_row(from.data(), from.size(), to.data(), to.size(), width, parity, spread);
}

}  // namespace

bool holds_fields(const FrameSyntax& syntax) {
    return std::any_of(syntax.slices.begin(), syntax.slices.end(),
                       [](const SliceSyntaxHeader& slice) { return slice.field; });
}

FrameSyntax field_syntax(const FrameSyntax& frame, int parity) {
    FrameSyntax field;
    field.coded_cols = frame.coded_cols;
    field.sequence = frame.sequence;
    field.picture = frame.picture;
    field.slices = frame.slices;
    field.earlier = frame.earlier;
    field.order_count = frame.order_count;
    const auto cols = static_cast<std::size_t>(frame.coded_cols);
    field.coded_records.resize(frame.coded_records.size() / 2);
    every_other_row(frame.coded_records, field.coded_records, cols, parity, false);
    for (int plane = 0; plane < 3; ++plane) {
        const auto width = static_cast<std::size_t>(frame.coefficients.width[plane]);
        field.coefficients.width[plane] = frame.coefficients.width[plane];
        field.coefficients.height[plane] = frame.coefficients.height[plane] / 2;
        field.coefficients.planes[plane].resize(width * static_cast<std::size_t>(field.coefficients.height[plane]));
        every_other_row(frame.coefficients.planes[plane], field.coefficients.planes[plane], width, parity, false);
    }
    return field;
}

int32_t slice_order_count(const FrameSyntax& syntax, const SliceSyntaxHeader& slice) {
    if (!slice.field || syntax.slices.empty() || slice.bottom_field == syntax.slices.front().bottom_field) {
        return syntax.order_count;
    }
    return syntax.order_count + second_field_order_difference(syntax.slices.front(), slice, syntax.sequence);
}

std::vector<MotionRecord> field_motion(const PictureMotion& frame, int parity, int coded_cols) {
    std::vector<MotionRecord> field(frame.size() / 2);
    every_other_row(frame.blocks(), frame.size(), field.data(), field.size(), 16 * static_cast<std::size_t>(coded_cols),
                    parity, false);
    return field;
}

void place_field_residual(const RebuiltPicture& field, int parity, const ResidualPlanes& frame) {
    for (int plane = 0; plane < 3; ++plane) {
        const auto width = static_cast<std::size_t>(field.width[plane]);
        const std::vector<int16_t>& rows = field.residual[plane];
        for (std::size_t row = 0; width > 0 && row < rows.size() / width; ++row) {
            std::copy_n(rows.begin() + static_cast<std::ptrdiff_t>(row * width), width,
                        frame.plane[plane] + (2 * row + static_cast<std::size_t>(parity)) * width);
        }
    }
}

void place_field(const RebuiltPicture& field, int parity, RebuiltPicture& frame) {
    for (int plane = 0; plane < 3; ++plane) {
        const auto width = static_cast<std::size_t>(field.width[plane]);
        every_other_row(field.residual[plane], frame.residual[plane], width, parity, true);
        every_other_row(field.prediction[plane], frame.prediction[plane], width, parity, true);
        every_other_row(field.samples[plane], frame.samples[plane], width, parity, true);
    }
}

void place_field_motion(const std::vector<MotionRecord>& field, int parity, int coded_cols, MotionRecord* frame) {
    // A macroblock row of the field is 4 rows of blocks, spread as one.
    every_other_row(field.data(), field.size(), frame, 2 * field.size(), 16 * static_cast<std::size_t>(coded_cols),
                    parity, true);
}
