#include "reconstruct/inter_macroblock.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "reconstruct/field_pictures.hpp"

InterMacroblock::InterMacroblock(const FrameSyntax& syntax, RebuiltPicture& picture,
                                 const std::vector<MotionRecord>& field, const DecodedReferences& pictures,
                                 const std::vector<SliceLists>& references)
    : syntax_(syntax), picture_(picture), field_(field), pictures_(pictures), references_(references),
      mbaff_(is_mbaff_frame(syntax)), chroma_array_type_(syntax.sequence.chroma_array_type()) {}

void InterMacroblock::rebuild(int mb_x, int mb_y, const MbSyntaxRecord& mb) {
    const MacroblockRows rows(mb_y, mbaff_, mb);
    for (int by = 0; by < 16; by += 4) {
        for (int bx = 0; bx < 16; bx += 4) {
            block(mb_x, rows, bx, by, mb);
        }
    }
}

void InterMacroblock::block(int mb_x, const MacroblockRows& rows, int bx, int by, const MbSyntaxRecord& mb) {
    const int mb_y = rows.mb_y;
    const std::size_t blocks_per_row = 4 * static_cast<std::size_t>(syntax_.coded_cols);
    const MotionRecord& motion = field_[(4 * static_cast<std::size_t>(mb_y) + by / 4) * blocks_per_row + 4 * mb_x + bx / 4];
    const PictureLists& lists = (rows.field_pair ? pictures_.field_macroblock_lists(mb_y % 2)
                                                 : pictures_.lists())[static_cast<std::size_t>(mb.slice)];
    const ReferencePicture* pictures[2] = {nullptr, nullptr};
    int16_t mv[2][2] = {};
    for (int list = 0; list < 2; ++list) {
        const int ref_idx = motion.ref_idx[list];
        if (ref_idx < 0) {
            continue;
        }
        const std::vector<const ReferencePicture*>& names = lists[static_cast<std::size_t>(list)];
        if (static_cast<std::size_t>(ref_idx) >= names.size() || names[static_cast<std::size_t>(ref_idx)] == nullptr) {
            throw std::runtime_error("Reference index " + std::to_string(ref_idx) + " of list " + std::to_string(list) +
                                     " of macroblock (" + std::to_string(mb_x) + ", " + std::to_string(mb_y) +
                                     ") names no picture the interval decodes before it");
        }
        pictures[list] = names[static_cast<std::size_t>(ref_idx)];
        // The record is packed: its int16 fields may lie at odd addresses.
        std::memcpy(mv[list], motion.mv[list], sizeof mv[list]);
    }
    if (pictures[0] == nullptr && pictures[1] == nullptr) {
        throw std::runtime_error("Macroblock (" + std::to_string(mb_x) + ", " + std::to_string(mb_y) +
                                 ") of the motion field uses no list");
    }
    const int planes = chroma_array_type_ == 0 ? 1 : 3;
    // A field macroblock's block lies at its row of the field, predicted from fields.
    const int field_y = (rows.field_pair ? 16 * (mb_y / 2) : 16 * mb_y) + by;
    for (int plane = 0; plane < planes; ++plane) {
        int size[2];
        predict(plane, 16 * mb_x + bx, field_y, pictures, mv, size);
        const bool luma_like = plane == 0 || chroma_array_type_ == 3;
        const int height = luma_like || chroma_array_type_ == 2 ? 16 : 8;
        const int x = luma_like ? 16 * mb_x + bx : (16 * mb_x + bx) / 2;
        const int y = rows.first(height) + rows.step() * (height == 16 ? by : by / 2);
        const int parity = rows.field_pair ? mb_y % 2 : -1;
        store(plane, x, y, rows.step(), size[0], size[1], motion, weights_of(mb, motion, plane, parity));
    }
}

void InterMacroblock::predict(int plane, int x, int y, const ReferencePicture* const* pictures,
                              const int16_t (*mv)[2], int* size) {
    const bool full = plane == 0 || chroma_array_type_ == 3;
    size[0] = full ? 4 : 2;
    size[1] = full || chroma_array_type_ == 2 ? 4 : 2;
    for (int list = 0; list < 2; ++list) {
        if (pictures[list] == nullptr) {
            continue;
        }
        const ReferencePlane& reference = pictures[list]->planes[plane];
        if (full) {
            const int bit_depth = plane == 0 ? syntax_.sequence.bit_depth_luma : syntax_.sequence.bit_depth_chroma;
            predict_luma_block(reference, x, y, mv[list][0], mv[list][1], 4, 4, bit_depth, prediction_[list]);
        } else {
            predict_chroma_block(reference, x / 2, chroma_array_type_ == 1 ? y / 2 : y, mv[list][0],
                                 mv[list][1] + pictures[list]->chroma_vertical_offset, 2, size[1], chroma_array_type_,
                                 prediction_[list]);
        }
    }
}

// Explicit weights where the slice codes a table (P slices with weighted_pred_flag, B slices
// with weighted_bipred_idc 1); implicit ones for two lists of a B slice with
// weighted_bipred_idc 2; else none.
PairWeights InterMacroblock::weights_of(const MbSyntaxRecord& mb, const MotionRecord& motion, int plane,
                                        int parity) const {
    const SliceSyntaxHeader& slice = syntax_.slices[static_cast<std::size_t>(mb.slice)];
    PairWeights weights;
    if (slice.weights.coded) {
        weights.weighted = true;
        weights.log2_denominator =
            plane == 0 ? slice.weights.luma_log2_denominator : slice.weights.chroma_log2_denominator;
        for (std::size_t list = 0; list < 2; ++list) {
            if (motion.ref_idx[list] >= 0) {
                // A field macroblock's weights are its field's frame's (8.4.2.3).
                const int index = motion.ref_idx[list] >> (parity >= 0 ? 1 : 0);
                const PredictionWeight& entry = slice.weights.entries[list][static_cast<std::size_t>(index)];
                weights.weight[list] = entry.weight[static_cast<std::size_t>(plane)];
                weights.offset[list] = entry.offset[static_cast<std::size_t>(plane)];
            }
        }
        return weights;
    }
    const bool both = motion.ref_idx[0] >= 0 && motion.ref_idx[1] >= 0;
    if (slice.kind == kSliceB && syntax_.picture.weighted_bipred == 2 && both) {
        return implicit_weights(mb, motion, parity);
    }
    return weights;
}

// 8.4.2.3.1: weights from the distances in picture order, 32 each where they cannot be had. A
// field macroblock measures them between fields: its own field's and those its indices name
// (each frame entry's field of its parity at an even index, the other at the odd one after);
// a field picture between its own field and the fields its lists name.
PairWeights InterMacroblock::implicit_weights(const MbSyntaxRecord& mb, const MotionRecord& motion,
                                              int parity) const {
    const SliceLists& lists = references_[static_cast<std::size_t>(mb.slice)];
    const int shift = parity >= 0 ? 1 : 0;
    const HeldReference& first = lists[0][static_cast<std::size_t>(motion.ref_idx[0] >> shift)];
    const HeldReference& second = lists[1][static_cast<std::size_t>(motion.ref_idx[1] >> shift)];
    const SliceSyntaxHeader& slice = syntax_.slices[static_cast<std::size_t>(mb.slice)];
    int32_t current = syntax_.order_count;
    int32_t order0 = first.order_count;
    int32_t order1 = second.order_count;
    if (slice.field) {
        // A field picture's list entries are fields.
        current = slice_order_count(syntax_, slice);
        order0 = field_order_count(order0, first.bottom_order_offset, first.parity);
        order1 = field_order_count(order1, second.bottom_order_offset, second.parity);
    } else if (parity >= 0) {
        const int32_t offset = slice.bottom_order_offset;
        current = field_order_count(current, offset, parity);
        order0 = field_order_count(order0, first.bottom_order_offset, parity ^ (motion.ref_idx[0] & 1));
        order1 = field_order_count(order1, second.bottom_order_offset, parity ^ (motion.ref_idx[1] & 1));
    }
    PairWeights weights{true, 5, {32, 32}, {0, 0}};
    if (order0 == order1 || first.long_term || second.long_term) {
        return weights;
    }
    const int scale = dist_scale_factor(current, order0, order1) >> 2;
    if (scale >= -64 && scale <= 128) {
        weights.weight[0] = 64 - scale;
        weights.weight[1] = scale;
    }
    return weights;
}

void InterMacroblock::store(int plane, int x0, int y0, int row_step, int width, int height,
                            const MotionRecord& motion, const PairWeights& weights) {
    const int bit_depth = plane == 0 ? syntax_.sequence.bit_depth_luma : syntax_.sequence.bit_depth_chroma;
    const int32_t most = (1 << bit_depth) - 1;
    const int stride = picture_.width[plane];
    const bool both = motion.ref_idx[0] >= 0 && motion.ref_idx[1] >= 0;
    const int single = motion.ref_idx[0] >= 0 ? 0 : 1;
    for (int y = 0; y < height; ++y) {
        const std::size_t row = static_cast<std::size_t>(y0 + row_step * y) * stride + x0;
        for (int x = 0; x < width; ++x) {
            const int at = y * width + x;
            int32_t predicted = prediction_[single][at];
            if (both) {
                predicted = bipredict_sample(prediction_[0][at], prediction_[1][at], weights, bit_depth);
            } else if (weights.weighted) {
                predicted = weigh_sample(predicted, weights.weight[single], weights.offset[single],
                                         weights.log2_denominator, bit_depth);
            }
            picture_.prediction[plane][row + x] = static_cast<uint16_t>(predicted);
            picture_.samples[plane][row + x] =
                static_cast<uint16_t>(std::clamp(predicted + picture_.residual[plane][row + x], 0, most));
        }
    }
}
