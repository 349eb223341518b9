#include "ahead/read_ahead.hpp"

#include <algorithm>
#include <atomic>
#include <numeric>
#include <optional>
#include <system_error>
#include <utility>

#include "batch/batch_decoding.hpp"
#include "batch/batch_worker.hpp"
#include "index/file_identity.hpp"

namespace {

// Frames beyond the caller's last request that the unit it is in may deliver whatever the
// budget holds: more than the decoder's reordering delay, so that the frame the caller
// waits for always finds room, and few enough to be small next to the budget.
constexpr int32_t kCallerUnitReach = 32;

std::size_t held_bytes(const CachedFrame& snapshot) { return sizeof(CachedFrame) + snapshot.byte_size(); }

// The caller's thread keeps one core busy; the automatic setting gives every other core a
// decoder.
int decoders_ahead(int setting) { return setting == kAutomaticReadAhead ? resolve_thread_count(0) - 1 : setting; }

}  // namespace

struct ReadAhead::Unit {
    Unit(int32_t number, int32_t first, int32_t end, int32_t start_packet, bool with_pixels)
        : number(number),
          first(first),
          start_packet(start_packet),
          with_pixels(with_pixels),
          frames(static_cast<std::size_t>(end - first)),
          delivered(frames.size(), 0),
          snapshots(frames.size()) {
        std::iota(frames.begin(), frames.end(), first);
    }

    bool contains(int32_t frame) const { return frame >= first && frame - first < static_cast<int32_t>(frames.size()); }
    DecodingUnit batch_unit() { return DecodingUnit{start_packet, frames.data(), delivered.data(), frames.size()}; }

    const int32_t number;
    const int32_t first;
    const int32_t start_packet;
    const bool with_pixels;
    // Written by the unit's decoder alone (BatchWorker's record of what it delivered).
    std::vector<int32_t> frames;
    std::vector<uint8_t> delivered;
    // The rest under the read-ahead's lock: what came out and was not taken yet.
    std::vector<std::shared_ptr<CachedFrame>> snapshots;
    // Where the caller's taking has reached: every slot before it is empty.
    std::size_t taken = 0;
    bool decoding = false;
    bool finished = false;
    // While the unit's decoder waits for room: the frame it waits to deliver, and its bytes.
    std::optional<std::pair<int32_t, std::size_t>> waiting_for_room;
    // Read by the decoder before every packet without the lock.
    std::atomic<bool> abandoned{false};
};

ReadAhead::ReadAhead(std::shared_ptr<const StreamIndex> index, const SessionOptions& options,
                     std::shared_ptr<PicturePool> pictures, std::size_t byte_budget)
    : index_(std::move(index)),
      decoder_options_(frame_decoder_options(options)),
      pictures_(std::move(pictures)),
      pixels_possible_(options.deblocking != DeblockingMode::Exact),
      decoders_(decoders_ahead(options.read_ahead)),
      byte_budget_(byte_budget),
      guard_(options.read_ahead == kAutomaticReadAhead) {}

ReadAhead::~ReadAhead() { stop(); }

void ReadAhead::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        abandon_all();
    }
    work_.notify_all();
    for (std::thread& thread : threads_) {
        thread.join();
    }
    threads_.clear();
}

std::shared_ptr<CachedFrame> ReadAhead::take(int32_t frame, bool needs_pixels, std::vector<NumberedSnapshot>& passed) {
    std::unique_lock<std::mutex> lock(mutex_);
    note_request(frame, needs_pixels);
    if (planned_.empty()) {
        return nullptr;
    }
    const int32_t number = unit_of(frame);
    if (number < planned_.front()->number) {
        // The unit the caller's own decoder is in goes on as before; an earlier one is a jump
        // back.
        if (number < unit_of(position_)) {
            abandon_all();
        }
        return nullptr;
    }
    if (number > planned_.back()->number) {
        abandon_all();
        return nullptr;
    }
    leave_units_before(number, lock, passed);
    if (planned_.empty() || planned_.front()->number != number) {
        // Let go of while the caller waited for the unit it leaves (CoreGuard).
        return nullptr;
    }
    const std::shared_ptr<Unit> unit = planned_.front();
    if (!serves(*unit, needs_pixels)) {
        abandon_all();
        return nullptr;
    }
    const std::size_t slot = static_cast<std::size_t>(frame - unit->first);
    if (slot < unit->taken) {
        // Handed over already, and the cache has let go of it since.
        return nullptr;
    }
    position_ = frame;
    room_.notify_all();
    plan_units();
    delivered_.wait(lock, [&] { return unit->snapshots[slot] || unit->finished || unit->abandoned || stalls(*unit); });
    std::shared_ptr<CachedFrame> result = unit->snapshots[slot];
    if (!result && !unit->finished) {
        abandon_all();
        return nullptr;
    }
    hand_over(*unit, frame, passed);
    frames_taken_ += result ? 1 : 0;
    return result;
}

void ReadAhead::run_ahead_of(int32_t frame, bool needs_pixels) {
    std::lock_guard<std::mutex> lock(mutex_);
    note_request(frame, needs_pixels);
    position_ = frame;
    plan_units();
}

int32_t ReadAhead::unit_of(int32_t frame) const {
    const std::vector<int32_t>& starts = index_->interval_starts;
    return static_cast<int32_t>(std::upper_bound(starts.begin(), starts.end(), frame) - starts.begin()) - 1;
}

void ReadAhead::note_request(int32_t frame, bool needs_pixels) {
    if (needs_pixels) {
        pixels_unit_ = unit_of(frame);
    }
}

// Snapshots without pixels serve requests for QP maps and facts only.
bool ReadAhead::serves(const Unit& unit, bool needs_pixels) const { return unit.with_pixels || !needs_pixels; }

// Units keep their pixels while the caller asked for pixels in its unit or the one before:
// a loop that reads pictures keeps them, one that has gone on to QP maps alone sheds them.
bool ReadAhead::pixels_wanted() const { return pixels_unit_ >= 0 && pixels_unit_ >= unit_of(position_) - 1; }

void ReadAhead::plan_units() {
    const int32_t caller_unit = unit_of(position_);
    if (decoders_ == 0 || stopping_ || (pixels_wanted() && !pixels_possible_) || !guard_.allows(caller_unit)) {
        return;
    }
    start_decoders();
    if (broken_) {
        return;
    }
    // The caller's own decoder counts as one while the caller is in an unplanned unit.
    const bool caller_in_planned = !planned_.empty() && planned_.front()->contains(position_);
    const std::size_t limit = static_cast<std::size_t>(decoders_) + (caller_in_planned ? 1 : 0);
    int32_t next = planned_.empty() ? caller_unit + 1 : planned_.back()->number + 1;
    bool planned_more = false;
    for (; planned_.size() < limit && next < unit_count(); ++next) {
        planned_.push_back(make_unit(next));
        planned_more = true;
    }
    if (planned_more) {
        work_.notify_all();
    }
}

std::shared_ptr<ReadAhead::Unit> ReadAhead::make_unit(int32_t number) const {
    const std::vector<int32_t>& starts = index_->interval_starts;
    const int32_t first = starts[number];
    const int32_t end = number + 1 < unit_count() ? starts[number + 1] : index_->num_frames();
    return std::make_shared<Unit>(number, first, end, index_->frames.frame_start_packet[first], pixels_wanted());
}

// One decoder per planned unit at most: the caller's unit and `decoders_` beyond it.
void ReadAhead::start_decoders() {
    try {
        while (threads_.size() < static_cast<std::size_t>(decoders_) + 1) {
            threads_.emplace_back([this] { decode_units(); });
        }
    } catch (const std::system_error&) {
        // The threads that did start serve; with none, the caller decodes everything itself.
        broken_ = threads_.empty();
    }
}

// The caller goes on past these units, passing over the frames after its last request. Where
// they are the few left of the unit it is in, as in a loop with steps, the unit's decoder
// finishes them and they are handed over as passed, as the caller's own decoder caches the
// pictures on its way; further frames are not decoded.
void ReadAhead::leave_units_before(int32_t number, std::unique_lock<std::mutex>& lock,
                                   std::vector<NumberedSnapshot>& passed) {
    while (!planned_.empty() && planned_.front()->number < number) {
        const std::shared_ptr<Unit> unit = planned_.front();
        const int32_t end = unit->first + static_cast<int32_t>(unit->frames.size());
        if (unit->contains(position_) && end - position_ <= kCallerUnitReach) {
            delivered_.wait(lock, [&] { return unit->finished || unit->abandoned || stalls(*unit); });
        }
        hand_over(*unit, end, passed);
        abandon(*unit);
        planned_.pop_front();
    }
}

void ReadAhead::abandon(Unit& unit) {
    unit.abandoned = true;
    for (std::shared_ptr<CachedFrame>& snapshot : unit.snapshots) {
        if (snapshot) {
            held_bytes_ -= held_bytes(*snapshot);
            snapshot.reset();
        }
    }
    room_.notify_all();
}

// Units under way are finished and taken; those nobody decodes yet are let go.
void ReadAhead::let_go_of_undecoded_units() {
    while (!planned_.empty() && !planned_.back()->decoding && !planned_.back()->finished) {
        abandon(*planned_.back());
        planned_.pop_back();
    }
}

void ReadAhead::abandon_all() {
    for (const std::shared_ptr<Unit>& unit : planned_) {
        abandon(*unit);
    }
    planned_.clear();
}

bool ReadAhead::has_room(const Unit& unit, int32_t frame, std::size_t bytes) const {
    if (held_bytes_ + bytes <= byte_budget_) {
        return true;
    }
    return unit.contains(position_) && frame <= position_ + kCallerUnitReach;
}

// Whether the unit's decoder waits for room that the caller's taking will not make.
bool ReadAhead::stalls(const Unit& unit) const {
    return unit.waiting_for_room &&
           !has_room(unit, unit.waiting_for_room->first, unit.waiting_for_room->second);
}

// The frames up to `frame` leave the read-ahead: the caller took the one and passed the others.
void ReadAhead::hand_over(Unit& unit, int32_t frame, std::vector<NumberedSnapshot>& passed) {
    const std::size_t slot = static_cast<std::size_t>(frame - unit.first);
    for (; unit.taken <= slot && unit.taken < unit.snapshots.size(); ++unit.taken) {
        std::shared_ptr<CachedFrame>& snapshot = unit.snapshots[unit.taken];
        if (!snapshot) {
            continue;
        }
        held_bytes_ -= held_bytes(*snapshot);
        if (unit.taken < slot) {
            passed.push_back(NumberedSnapshot{unit.first + static_cast<int32_t>(unit.taken), std::move(snapshot)});
        }
        snapshot.reset();
    }
    room_.notify_all();
}

// A decoder's thread: opens its decoder with the first unit and keeps it for the next ones.
void ReadAhead::decode_units() {
    std::unique_ptr<BatchWorker> decoder;
    while (const std::shared_ptr<Unit> unit = next_unit()) {
        BusyTime busy;
        busy.start();
        try {
            if (!decoder) {
                // The decoder opens the file again by its path, which must still lead to it.
                check_same_file(index_->path, index_->file);
                decoder = std::make_unique<BatchWorker>(index_, decoder_options_, pictures_);
            }
            const UnitDelivery delivery{
                [&](const DecodedPicture& picture) { admit(*unit, picture.frame, picture.snapshot, busy); },
                unit->with_pixels, [&unit] { return unit->abandoned.load(std::memory_order_relaxed); }};
            decoder->decode_unit(unit->batch_unit(), delivery);
        } catch (...) {
            // What the unit did not deliver the caller decodes itself, meeting the same failure
            // where it can raise it. A decoder that cannot be opened ends running ahead.
            std::lock_guard<std::mutex> lock(mutex_);
            broken_ = broken_ || !decoder;
        }
        busy.stop();
        finish(*unit, busy);
    }
}

std::shared_ptr<ReadAhead::Unit> ReadAhead::next_unit() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (stopping_) {
            return nullptr;
        }
        for (const std::shared_ptr<Unit>& unit : planned_) {
            if (!unit->decoding && !unit->finished) {
                unit->decoding = true;
                return unit;
            }
        }
        work_.wait(lock);
    }
}

void ReadAhead::admit(Unit& unit, int32_t frame, std::shared_ptr<CachedFrame> snapshot, BusyTime& busy) {
    const std::size_t bytes = held_bytes(*snapshot);
    std::unique_lock<std::mutex> lock(mutex_);
    if (!unit.abandoned && !has_room(unit, frame, bytes)) {
        busy.stop();
        unit.waiting_for_room.emplace(frame, bytes);
        delivered_.notify_all();
        room_.wait(lock, [&] { return unit.abandoned || has_room(unit, frame, bytes); });
        unit.waiting_for_room.reset();
        busy.start();
    }
    if (unit.abandoned) {
        return;
    }
    held_bytes_ += bytes;
    unit.snapshots[static_cast<std::size_t>(frame - unit.first)] = std::move(snapshot);
    delivered_.notify_all();
}

void ReadAhead::finish(Unit& unit, const BusyTime& busy) {
    std::lock_guard<std::mutex> lock(mutex_);
    unit.finished = true;
    unit.decoding = false;
    if (unit.abandoned) {
        return;
    }
    const int32_t caller_unit = unit_of(position_);
    guard_.record(busy.seconds(), busy.processor_seconds(), caller_unit);
    if (!guard_.allows(caller_unit)) {
        let_go_of_undecoded_units();
    }
    delivered_.notify_all();
}
