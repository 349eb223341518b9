#include "reconstruct/inter_macroblock.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

InterMacroblock::InterMacroblock(const FrameSyntax& syntax, RebuiltPicture& picture,
                                 const std::vector<MotionRecord>& field,
                                 const std::vector<std::vector<const ReferencePicture*>>& lists)
    : syntax_(syntax), picture_(picture), field_(field), lists_(lists),
      chroma_array_type_(syntax.sequence.chroma_array_type()) {}

void InterMacroblock::rebuild(int mb_x, int mb_y, const MbSyntaxRecord& mb) {
    for (int by = 0; by < 16; by += 4) {
        for (int bx = 0; bx < 16; bx += 4) {
            block(mb_x, mb_y, bx, by, mb);
        }
    }
}

void InterMacroblock::block(int mb_x, int mb_y, int bx, int by, const MbSyntaxRecord& mb) {
    const std::size_t blocks_per_row = 4 * static_cast<std::size_t>(syntax_.coded_cols);
    const MotionRecord& motion = field_[(4 * static_cast<std::size_t>(mb_y) + by / 4) * blocks_per_row + 4 * mb_x + bx / 4];
    const std::vector<const ReferencePicture*>& list = lists_[static_cast<std::size_t>(mb.slice)];
    const int ref_idx = motion.ref_idx[0];
    if (ref_idx < 0 || static_cast<std::size_t>(ref_idx) >= list.size() || list[ref_idx] == nullptr) {
        throw std::runtime_error("Reference index " + std::to_string(ref_idx) + " of macroblock (" +
                                 std::to_string(mb_x) + ", " + std::to_string(mb_y) +
                                 ") names no picture the interval decodes before it");
    }
    const ReferencePicture& reference = *list[ref_idx];
    // The record is packed: its int16 fields may lie at odd addresses.
    int16_t mv[2];
    std::memcpy(mv, motion.mv[0], sizeof mv);
    const SliceSyntaxHeader& slice = syntax_.slices[static_cast<std::size_t>(mb.slice)];
    const bool weighted = syntax_.picture.weighted_prediction && slice.weights.coded;
    const PredictionWeight* weight = weighted ? &slice.weights.entries[0][ref_idx] : nullptr;
    const int x = 16 * mb_x + bx;
    const int y = 16 * mb_y + by;
    predict_luma_block(reference.planes[0], x, y, mv[0], mv[1], 4, 4, syntax_.sequence.bit_depth_luma, prediction_);
    store(0, x, y, 4, 4, weight, slice.weights.luma_log2_denominator);
    for (int plane = 1; plane < 3 && chroma_array_type_ != 0; ++plane) {
        if (chroma_array_type_ == 3) {
            predict_luma_block(reference.planes[plane], x, y, mv[0], mv[1], 4, 4, syntax_.sequence.bit_depth_chroma,
                               prediction_);
            store(plane, x, y, 4, 4, weight, slice.weights.chroma_log2_denominator);
            continue;
        }
        const int height = chroma_array_type_ == 1 ? 2 : 4;
        const int cy = chroma_array_type_ == 1 ? y / 2 : y;
        predict_chroma_block(reference.planes[plane], x / 2, cy, mv[0], mv[1], 2, height, chroma_array_type_,
                             prediction_);
        store(plane, x / 2, cy, 2, height, weight, slice.weights.chroma_log2_denominator);
    }
}

void InterMacroblock::store(int plane, int x0, int y0, int width, int height, const PredictionWeight* weight,
                            int log2_denominator) {
    const int bit_depth = plane == 0 ? syntax_.sequence.bit_depth_luma : syntax_.sequence.bit_depth_chroma;
    const int32_t most = (1 << bit_depth) - 1;
    const int stride = picture_.width[plane];
    for (int y = 0; y < height; ++y) {
        const std::size_t row = static_cast<std::size_t>(y0 + y) * stride + x0;
        for (int x = 0; x < width; ++x) {
            int32_t predicted = prediction_[y * width + x];
            if (weight != nullptr) {
                predicted = weigh_sample(predicted, weight->weight[plane], weight->offset[plane], log2_denominator,
                                         bit_depth);
            }
            picture_.prediction[plane][row + x] = static_cast<uint16_t>(predicted);
            picture_.samples[plane][row + x] =
                static_cast<uint16_t>(std::clamp(predicted + picture_.residual[plane][row + x], 0, most));
        }
    }
}
