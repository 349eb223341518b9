#include "batch/batch_decoding.hpp"

#include <algorithm>
#include <atomic>
#include <memory>
#include <stdexcept>
#include <utility>

#include "batch/worker_pool.hpp"
#include "ffmpeg/picture_pool.hpp"
#include "system/usable_cores.hpp"

namespace {

// The frames of a batch grouped by the key packet that decoding them starts from, each
// group in ascending frame order, with a delivery flag beside each frame.
class DecodingPlan {
public:
    DecodingPlan(const FrameIndex& index, const std::vector<int32_t>& frames) {
        std::vector<std::pair<int32_t, int32_t>> by_start;
        by_start.reserve(frames.size());
        for (const int32_t frame : frames) {
            by_start.emplace_back(index.frame_start_packet[frame], frame);
        }
        std::sort(by_start.begin(), by_start.end());
        for (const auto& [start, frame] : by_start) {
            if (starts_.empty() || starts_.back().first != start) {
                starts_.emplace_back(start, ordered_frames_.size());
            }
            ordered_frames_.push_back(frame);
        }
        delivered_.assign(ordered_frames_.size(), 0);
    }

    std::size_t unit_count() const { return starts_.size(); }

    IntervalFrames unit(std::size_t number) {
        const std::size_t first = starts_[number].second;
        const std::size_t end = number + 1 < starts_.size() ? starts_[number + 1].second : ordered_frames_.size();
        return IntervalFrames{starts_[number].first, ordered_frames_.data() + first, delivered_.data() + first,
                            end - first};
    }

    // Delivery of each frame in the order the caller gave them.
    std::vector<uint8_t> delivered_in_order(const std::vector<int32_t>& frames) const {
        std::vector<std::pair<int32_t, uint8_t>> by_frame;
        by_frame.reserve(ordered_frames_.size());
        for (std::size_t i = 0; i < ordered_frames_.size(); ++i) {
            by_frame.emplace_back(ordered_frames_[i], delivered_[i]);
        }
        std::sort(by_frame.begin(), by_frame.end());
        std::vector<uint8_t> result;
        result.reserve(frames.size());
        for (const int32_t frame : frames) {
            const auto found = std::lower_bound(by_frame.begin(), by_frame.end(), std::make_pair(frame, uint8_t{0}));
            result.push_back(found != by_frame.end() && found->first == frame ? found->second : 0);
        }
        return result;
    }

private:
    std::vector<std::pair<int32_t, std::size_t>> starts_;
    std::vector<int32_t> ordered_frames_;
    std::vector<uint8_t> delivered_;
};

}  // namespace

void check_thread_count(int threads) {
    if (threads < 0) {
        throw std::invalid_argument("threads must not be negative");
    }
}

std::vector<uint8_t> decode_batch(const std::shared_ptr<const StreamIndex>& index, const SessionOptions& options,
                                  const std::vector<int32_t>& frames, int threads, const PictureSink& sink,
                                  bool with_pixels) {
    // Each worker opens the file again; the index describes the file as the session found it.
    check_same_file(index->path, index->file);
    DecodingPlan plan(index->frames, frames);
    check_thread_count(threads);
    const int thread_count = threads == 0 ? usable_cores() : threads;
    const std::size_t worker_count = std::min<std::size_t>(thread_count, plan.unit_count());

    const SessionOptions decoder_options = interval_decoder_options(options, false);
    std::atomic<std::size_t> next_unit{0};
    FirstError error;
    const IntervalDelivery delivery{sink, with_pixels, [&error] { return error.stopped(); }};
    // Zeroed buffers for every worker, whichever units it took before: what a damaged
    // picture's concealment leaves unwritten is the same as in the session's pictures.
    const auto pictures = std::make_shared<PicturePool>();
    WorkersDone done(worker_count);
    {
        JoinedThreads pool;
        for (std::size_t i = 0; i < worker_count; ++i) {
            // Each worker opens and probes the file on its own thread, alongside the others.
            pool.start([&] {
                try {
                    IntervalDecoder decoder(index, decoder_options, pictures);
                    for (std::size_t unit = next_unit++; unit < plan.unit_count() && !error.stopped();
                         unit = next_unit++) {
                        decoder.decode(plan.unit(unit), delivery);
                    }
                } catch (...) {
                    error.record(std::current_exception());
                }
                done.count_down();
            });
        }
        wait_for_workers(done, error);
    }
    error.rethrow();
    return plan.delivered_in_order(frames);
}
