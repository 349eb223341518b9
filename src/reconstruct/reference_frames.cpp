#include "reconstruct/reference_frames.hpp"

#include <algorithm>

#include "decode/interval_decoder.hpp"

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
    for (const SliceLists& slice_lists : frame_lists) {
        PictureLists& pictures = lists_.emplace_back();
        for (std::size_t number = 0; number < 2; ++number) {
            const std::vector<HeldReference>& frame_list = slice_lists[number];
            pictures[number].assign(frame_list.size(), nullptr);
            for (std::size_t i = 0; i < frame_list.size(); ++i) {
                const auto at = std::lower_bound(frames_.begin(), frames_.end(), frame_list[i].frame);
                const auto slot = static_cast<std::size_t>(at - frames_.begin());
                if (frame_list[i].frame >= 0 && snapshots_[slot] && snapshots_[slot]->has_pixels) {
                    pictures[number][i] = &pictures_[slot];
                }
            }
        }
    }
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
    ReferencePicture picture;
    for (int plane = 0; plane < snapshot.readable_planes(); ++plane) {
        const int shift_x = plane > 0 && chroma_array_type != 3 ? 1 : 0;
        const int shift_y = plane > 0 && chroma_array_type == 1 ? 1 : 0;
        ReferencePlane& coded = picture.planes[plane];
        coded.bytes_per_sample = snapshot.bytes_per_sample;
        coded.stride = snapshot.linesize[plane];
        coded.width = syntax.coefficients.width[plane];
        coded.height = syntax.coefficients.height[plane];
        coded.origin = snapshot.planes[plane] - static_cast<std::ptrdiff_t>(snapshot.crop_top >> shift_y) * coded.stride -
                       static_cast<std::ptrdiff_t>(snapshot.crop_left >> shift_x) * coded.bytes_per_sample;
    }
    return picture;
}
