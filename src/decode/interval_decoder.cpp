#include "decode/interval_decoder.hpp"

#include <algorithm>
#include <utility>
#include <vector>

// A batch or the read-ahead decodes every picture of an interval in one run, filtered as the
// session's mode says. "exact" pictures cannot come from such a run (each requested reference
// would have to be decoded without its filter, and then could not serve the pictures after
// it), so such a session's intervals are decoded with the filter skipped, which changes
// neither the QP maps nor the frame facts; get_planes refuses it, and the read-ahead reads
// no pixels ahead there.
SessionOptions interval_decoder_options(const SessionOptions& session, bool with_motion_vectors) {
    SessionOptions options;
    options.deblocking = session.deblocking == DeblockingMode::On ? DeblockingMode::On : DeblockingMode::Skip;
    options.mb_types = session.mb_types;
    options.motion_vectors = with_motion_vectors && session.motion_vectors;
    return options;
}

int32_t IntervalFrames::waiting_slot(int32_t frame) const {
    const int32_t* end = frames + count;
    const int32_t* slot = std::lower_bound(frames, end, frame);
    if (slot == end || *slot != frame || delivered[slot - frames]) {
        return -1;
    }
    return static_cast<int32_t>(slot - frames);
}

IntervalDecoder::IntervalDecoder(std::shared_ptr<const StreamIndex> index, const SessionOptions& decoder_options,
                                 std::shared_ptr<PicturePool> pictures)
    : index_(std::move(index)),
      input_(index_->file.path, index_->stream, decoder_options, std::move(pictures)),
      run_(input_, index_) {}

// As the frame methods do: from the frames' own key packet, and where FFmpeg withholds a
// picture there even when drained (a recovery point a few frames before the end of the
// file), once more from the key packet before it, taking the missing pictures whatever
// the earlier interval did to them.
void IntervalDecoder::decode(const IntervalFrames& unit, const IntervalDelivery& delivery) {
    std::size_t missing = unit.count;
    decode_from(unit.start_packet, unit, missing, delivery);
    if (missing > 0 && unit.start_packet > 0 && !delivery.is_abandoned()) {
        decode_from(previous_key_packet(index_->packets, unit.start_packet), unit, missing, delivery);
    }
}

// A picture nothing references and nobody asked for need not be decoded. Pictures that come
// out together for the same frame (timestamps repeated in the file) leave the last of them,
// as in the frame methods, which take what one round of receiving gives before they look
// at it. A run that loses track of the packets ends the unit's decoding as in the frame
// methods: what it did not deliver is not decoded.
void IntervalDecoder::decode_from(int32_t key_packet, const IntervalFrames& unit, std::size_t& missing,
                                  const IntervalDelivery& delivery) {
    std::vector<std::pair<int32_t, DecodedPicture>> received;
    DecodeSteps steps;
    steps.skips_unreferenced = [&](int32_t frame) { return frame >= 0 && unit.waiting_slot(frame) < 0; };
    steps.take_picture = [&](const AVFrame& picture, const MbTypeRows& mb_types, int32_t frame) {
        const int32_t slot = unit.waiting_slot(frame);
        if (slot < 0) {
            return;
        }
        DecodedPicture decoded{frame, build_frame_snapshot(&picture, picture.pts, delivery.with_pixels, mb_types)};
        const auto same = std::find_if(received.begin(), received.end(),
                                       [slot](const auto& entry) { return entry.first == slot; });
        if (same != received.end()) {
            same->second = std::move(decoded);
        } else {
            received.emplace_back(slot, std::move(decoded));
        }
    };
    steps.after_receiving = [&] {
        for (const auto& [slot, picture] : received) {
            delivery.sink(picture);
            unit.delivered[slot] = 1;
            --missing;
        }
        received.clear();
    };
    steps.done = [&] { return missing == 0 || delivery.is_abandoned(); };
    run_.start_at(key_packet);
    run_.decode(steps);
}
