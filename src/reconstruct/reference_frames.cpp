#include "reconstruct/reference_frames.hpp"

#include <algorithm>

#include "decode/interval_decoder.hpp"
#include "reconstruct/field_pictures.hpp"
#include "reconstruct/macroblock_rows.hpp"

DecodedReferences::DecodedReferences(const std::shared_ptr<const StreamIndex>& index, const FrameSyntax& syntax,
                                     const std::vector<SliceLists>& frame_lists) {
    for (const SliceLists& lists : frame_lists) {
        for (const std::vector<HeldReference>& list : lists) {
            for (const HeldReference& reference : list) {
                if (reference.frame >= 0) {
                    frames_.push_back(reference.frame);
                }
            }
        }
    }
    std::sort(frames_.begin(), frames_.end());
    frames_.erase(std::unique(frames_.begin(), frames_.end()), frames_.end());
    snapshots_.resize(frames_.size());
    decode(index, frames_);
    pictures_.resize(frames_.size());
    for (std::size_t i = 0; i < frames_.size(); ++i) {
        if (snapshots_[i] && snapshots_[i]->has_pixels) {
            pictures_[i] = coded_planes(*snapshots_[i], syntax);
        }
    }
    field_pictures_.resize(4 * frames_.size());
    for (std::size_t i = 0; i < frames_.size(); ++i) {
        for (int seen = 0; seen < 4; ++seen) {
            field_pictures_[4 * i + static_cast<std::size_t>(seen)] =
                field_of(pictures_[i], seen / 2, seen % 2, syntax.sequence.chroma_array_type());
        }
    }
    const bool mbaff = is_mbaff_frame(syntax);
    for (std::size_t slice = 0; slice < frame_lists.size(); ++slice) {
        const int current_parity = syntax.slices[slice].bottom_field ? 1 : 0;
        PictureLists& pictures = lists_.emplace_back();
        PictureLists* field_macroblocks[2] = {&field_macroblock_lists_[0].emplace_back(),
                                              &field_macroblock_lists_[1].emplace_back()};
        for (std::size_t number = 0; number < 2; ++number) {
            const std::vector<HeldReference>& frame_list = frame_lists[slice][number];
            for (const HeldReference& reference : frame_list) {
                pictures[number].push_back(held(reference, reference.parity, current_parity));
                for (int parity = 0; mbaff && parity < 2; ++parity) {
                    (*field_macroblocks[parity])[number].push_back(held(reference, parity, parity));
                    (*field_macroblocks[parity])[number].push_back(held(reference, 1 - parity, parity));
                }
            }
        }
    }
}

const ReferencePicture* DecodedReferences::held(const HeldReference& reference, int parity, int current_parity) const {
    const auto at = std::lower_bound(frames_.begin(), frames_.end(), reference.frame);
    const auto slot = static_cast<std::size_t>(at - frames_.begin());
    if (reference.frame < 0 || !snapshots_[slot] || !snapshots_[slot]->has_pixels) {
        return nullptr;
    }
    return parity < 0 ? &pictures_[slot]
                      : &field_pictures_[4 * slot + static_cast<std::size_t>(2 * parity + current_parity)];
}

// The frames decoded from each key packet in one run of an interval decoder.
void DecodedReferences::decode(const std::shared_ptr<const StreamIndex>& index, const std::vector<int32_t>& frames) {
    if (frames.empty()) {
        return;
    }
    SessionOptions options;
    options.deblocking = DeblockingMode::On;
    IntervalDecoder decoder(index, options);
    std::vector<uint8_t> delivered(frames.size(), 0);
    const IntervalDelivery delivery{[&](const DecodedPicture& picture) {
                                        const auto at = std::lower_bound(frames.begin(), frames.end(), picture.frame);
                                        snapshots_[static_cast<std::size_t>(at - frames.begin())] = picture.snapshot;
                                    },
                                    true, {}};
    for (std::size_t first = 0; first < frames.size();) {
        const int32_t start = index->frames.frame_start_packet[static_cast<std::size_t>(frames[first])];
        std::size_t end = first;
        while (end < frames.size() && index->frames.frame_start_packet[static_cast<std::size_t>(frames[end])] == start) {
            ++end;
        }
        decoder.decode(IntervalFrames{start, frames.data() + first, delivered.data() + first, end - first}, delivery);
        first = end;
    }
}

ReferencePicture DecodedReferences::coded_planes(const FrameSnapshot& snapshot, const FrameSyntax& syntax) const {
    const int chroma_array_type = syntax.sequence.chroma_array_type();
    // The levels of one field of a frame of fields have half the frame's rows.
    const int frame_rows = holds_fields(syntax) ? 2 : 1;
    ReferencePicture picture;
    for (int plane = 0; plane < snapshot.readable_planes(); ++plane) {
        const int shift_x = plane > 0 && chroma_array_type != 3 ? 1 : 0;
        const int shift_y = plane > 0 && chroma_array_type == 1 ? 1 : 0;
        ReferencePlane& coded = picture.planes[plane];
        coded.bytes_per_sample = snapshot.bytes_per_sample;
        coded.stride = snapshot.linesize[plane];
        coded.width = syntax.coefficients.width[plane];
        coded.height = syntax.coefficients.height[plane] * frame_rows;
        coded.origin = snapshot.planes[plane] - static_cast<std::ptrdiff_t>(snapshot.crop_top >> shift_y) * coded.stride -
                       static_cast<std::ptrdiff_t>(snapshot.crop_left >> shift_x) * coded.bytes_per_sample;
    }
    return picture;
}

ReferencePicture DecodedReferences::field_of(const ReferencePicture& frame, int parity, int current_parity,
                                             int chroma_array_type) {
    ReferencePicture field = frame;
    for (ReferencePlane& plane : field.planes) {
        if (plane.origin != nullptr) {
            plane.origin += parity * plane.stride;
            plane.stride *= 2;
            plane.height /= 2;
        }
    }
    field.chroma_vertical_offset = chroma_array_type == 1 ? 2 * (current_parity - parity) : 0;
    return field;
}
