#include "batch/frame_batches.hpp"

#include <algorithm>
#include <exception>
#include <functional>
#include <numeric>
#include <stdexcept>
#include <string>

#include "batch/batch_decoding.hpp"
#include "frame/frame_not_decoded.hpp"
#include "frame/picture_area.hpp"

namespace {

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

    // Where `fill` is given, it fills every place of a frame the decoder did not produce
    // instead of that frame failing the batch.
    void raise_lowest_failure(const std::vector<uint8_t>& delivered,
                              const std::function<void(std::size_t)>& fill) const {
        for (std::size_t d = 0; d < distinct_.size(); ++d) {
            if (failures_[d]) {
                std::rethrow_exception(failures_[d]);
            }
            if (delivered[d]) {
                continue;
            }
            if (!fill) {
                throw FrameNotDecoded(distinct_[d]);
            }
            for_each_position(distinct_[d], fill);
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

// Whether the frame fits the session's facts, as the failure to record where it does not.
std::exception_ptr failure_to_fit(const StreamFacts& facts, const FrameSnapshot& frame, int32_t index) {
    try {
        check_fits(facts, frame, index);
    } catch (const std::invalid_argument&) {
        return std::current_exception();
    }
    return nullptr;
}

std::exception_ptr failure_to_read(const MbTypeMap& map, int32_t index) {
    try {
        require_read_map(map, index);
    } catch (const std::runtime_error&) {
        return std::current_exception();
    }
    return nullptr;
}

// Decodes the distinct frames and raises what the batch left; `deliver` runs on the workers.
template <typename Deliver>
void decode_into_slots(const std::shared_ptr<const StreamIndex>& index, const SessionOptions& options,
                       const RequestSlots& slots, int threads, bool with_pixels, Deliver deliver,
                       const std::function<void(std::size_t)>& fill_undecoded = {}) {
    const std::vector<uint8_t> delivered = decode_batch(
        index, options, slots.distinct(), threads, [&](const DecodedPicture& picture) { deliver(picture); },
        with_pixels);
    slots.raise_lowest_failure(delivered, fill_undecoded);
}

// Decodes the distinct frames and copies each one's map of macroblock cells, which
// `read_map(frame, index)` gives (null after recording why the frame has none), to every
// position the frame was requested at.
template <typename Cell, typename ReadMap>
void decode_macroblock_maps(const std::shared_ptr<const StreamIndex>& index, const SessionOptions& options,
                            const std::vector<int32_t>& requested, int threads, Undecodable undecodable,
                            Cell absent, Cell* destination, ReadMap read_map) {
    RequestSlots slots(requested);
    const StreamFacts& facts = index->facts;
    const std::size_t map_size = static_cast<std::size_t>(facts.mb_rows) * static_cast<std::size_t>(facts.mb_cols);
    std::function<void(std::size_t)> fill;
    if (undecodable == Undecodable::Mark) {
        fill = [&](std::size_t position) {
            std::fill(destination + position * map_size, destination + (position + 1) * map_size, absent);
        };
    }
    decode_into_slots(index, options, slots, threads, false, [&](const DecodedPicture& picture) {
        const FrameSnapshot& frame = *picture.snapshot;
        if (frame.mb_rows != facts.mb_rows || frame.mb_cols != facts.mb_cols) {
            slots.record_failure(picture.frame, failure_to_fit(facts, frame, picture.frame));
            return;
        }
        const Cell* cells = read_map(frame, picture.frame, slots);
        if (!cells) {
            return;
        }
        slots.for_each_position(picture.frame, [&](std::size_t position) {
            std::copy(cells, cells + map_size, destination + position * map_size);
        });
    }, fill);
}

}  // namespace

void decode_qp_maps(const std::shared_ptr<const StreamIndex>& index, const SessionOptions& options,
                    const std::vector<int32_t>& requested, int threads, Undecodable undecodable,
                    int8_t* destination) {
    // A marked frame's map is -1, as a damaged picture's.
    decode_macroblock_maps(index, options, requested, threads, undecodable, int8_t{-1}, destination,
                           [](const FrameSnapshot& frame, int32_t, RequestSlots&) { return frame.qp_map.data(); });
}

void decode_mb_type_maps(const std::shared_ptr<const StreamIndex>& index, const SessionOptions& options,
                         const std::vector<int32_t>& requested, int threads, Undecodable undecodable,
                         MacroblockCoding* destination) {
    decode_macroblock_maps(index, options, requested, threads, undecodable, MacroblockCoding{}, destination,
                           [](const FrameSnapshot& frame, int32_t number, RequestSlots& slots) {
                               const MacroblockCoding* cells = frame.mb_types.cells.data();
                               if (std::exception_ptr failure = failure_to_read(frame.mb_types, number)) {
                                   slots.record_failure(number, failure);
                                   cells = nullptr;
                               }
                               return cells;
                           });
}

void check_plane_batch_possible(const SessionOptions& options) {
    if (options.deblocking == DeblockingMode::Exact) {
        throw std::invalid_argument(
            "get_planes cannot give deblocking=\"exact\" pictures: ask get_plane_data for each frame");
    }
}

void decode_plane_areas(const std::shared_ptr<const StreamIndex>& index, const SessionOptions& options,
                        const std::vector<int32_t>& requested, int32_t plane, int threads, uint8_t* destination) {
    check_plane_batch_possible(options);
    RequestSlots slots(requested);
    const StreamFacts& facts = index->facts;
    const PlaneShape shape = plane_shape(facts, plane);
    const int64_t row_bytes = shape.columns * facts.bytes_per_sample;
    const std::size_t plane_bytes = static_cast<std::size_t>(row_bytes * shape.rows);
    decode_into_slots(index, options, slots, threads, true, [&](const DecodedPicture& picture) {
        const FrameSnapshot& frame = *picture.snapshot;
        if (std::exception_ptr failure = failure_to_fit(facts, frame, picture.frame)) {
            slots.record_failure(picture.frame, failure);
            return;
        }
        slots.for_each_position(picture.frame, [&](std::size_t position) {
            copy_picture_rows(frame, plane, destination + position * plane_bytes, row_bytes);
        });
    });
}
