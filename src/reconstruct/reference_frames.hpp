#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "frame/frame_snapshot.hpp"
#include "index/stream_index.hpp"
#include "reconstruct/inter_prediction.hpp"
#include "reconstruct/reference_lists.hpp"
#include "syntax/frame_syntax_reader.hpp"

// The reference pictures a frame's slices name, as the decoder holds them while it decodes
// the frame: the session's frames they are, decoded with the loop filter on by a decoder of
// their own (whatever the session's deblocking mode), and read on their coded planes, the
// rows and columns the stream's cropping hides included; a field picture's references are
// fields, every other row of such a frame. Keeps their pictures alive.
class DecodedReferences {
public:
    // `frame_lists` holds each slice's lists (reference_lists).
    DecodedReferences(const std::shared_ptr<const StreamIndex>& index, const FrameSyntax& syntax,
                      const std::vector<SliceLists>& frame_lists);

    // Each slice's lists 0 and 1, null where a list names no picture or it was not decoded.
    const std::vector<PictureLists>& lists() const { return lists_; }
    // In an MBAFF frame, the same lists as field macroblocks of `parity` (0 top, 1 bottom)
    // index them (8.4.2.1): each frame's field of that parity, then its other field.
    const std::vector<PictureLists>& field_macroblock_lists(int parity) const {
        return field_macroblock_lists_[parity];
    }

private:
    void decode(const std::shared_ptr<const StreamIndex>& index, const std::vector<int32_t>& frames);
    ReferencePicture coded_planes(const FrameSnapshot& snapshot, const FrameSyntax& syntax) const;
    // The field of `parity` of a frame, as a field of `current_parity` predicts from it.
    static ReferencePicture field_of(const ReferencePicture& frame, int parity, int current_parity,
                                     int chroma_array_type);
    // The picture `reference` names, its field of `parity` (-1 the frame) as a field of
    // `current_parity` sees it; null where it was not decoded.
    const ReferencePicture* held(const HeldReference& reference, int parity, int current_parity) const;

    std::vector<int32_t> frames_;
    std::vector<std::shared_ptr<FrameSnapshot>> snapshots_;
    std::vector<ReferencePicture> pictures_;
    // Four a frame: its top and bottom field, each seen from a top and a bottom field.
    std::vector<ReferencePicture> field_pictures_;
    std::vector<PictureLists> lists_;
    std::vector<PictureLists> field_macroblock_lists_[2];
};
