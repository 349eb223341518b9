#include "ahead/read_ahead.hpp"

#include <system_error>
#include <utility>

#include "decode/interval_decoder.hpp"
#include "index/file_identity.hpp"
#include "system/usable_cores.hpp"

namespace {

// The caller's thread keeps one core busy; the automatic setting gives every other core a
// decoder.
int decoders_ahead(int setting) { return setting == kAutomaticReadAhead ? usable_cores() - 1 : setting; }

}  // namespace

ReadAhead::ReadAhead(std::shared_ptr<const StreamIndex> index, const SessionOptions& options,
                     std::shared_ptr<PicturePool> pictures, std::size_t byte_budget)
    : index_(std::move(index)),
      decoder_options_(interval_decoder_options(options, true)),
      pictures_(std::move(pictures)),
      pixels_possible_(options.deblocking != DeblockingMode::Exact),
      decoders_(decoders_ahead(options.read_ahead)),
      guard_(options.read_ahead == kAutomaticReadAhead),
      plan_(index_, decoders_),
      budget_(byte_budget) {}

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

std::shared_ptr<FrameSnapshot> ReadAhead::take(int32_t frame, bool needs_pixels,
                                               std::vector<NumberedSnapshot>& passed) {
    std::unique_lock<std::mutex> lock(mutex_);
    plan_.note_request(frame, needs_pixels);
    std::deque<std::shared_ptr<AheadUnit>>& planned = plan_.units();
    if (planned.empty()) {
        return nullptr;
    }
    const int32_t number = plan_.unit_of(frame);
    if (number < planned.front()->number) {
        // The caller's own decoder goes on in the unit it is in; an earlier unit is a jump back.
        if (number < plan_.unit_of(position_)) {
            abandon_all();
        }
        return nullptr;
    }
    if (number > planned.back()->number) {
        abandon_all();
        return nullptr;
    }
    leave_units_before(number, lock, passed);
    if (planned.empty() || planned.front()->number != number) {
        // Let go of while the caller waited for the unit it leaves (CoreGuard).
        return nullptr;
    }
    const std::shared_ptr<AheadUnit> unit = planned.front();
    if (!UnitPlan::serves(*unit, needs_pixels)) {
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
    std::shared_ptr<FrameSnapshot> result = unit->snapshots[slot];
    if (!result && !unit->finished) {
        abandon_all();
        return nullptr;
    }
    unit->hand_over(frame, budget_, passed);
    room_.notify_all();
    frames_taken_ += result ? 1 : 0;
    return result;
}

SnapshotBytes ReadAhead::snapshot_bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return budget_.bytes();
}

void ReadAhead::run_ahead_of(int32_t frame, bool needs_pixels) {
    std::lock_guard<std::mutex> lock(mutex_);
    plan_.note_request(frame, needs_pixels);
    position_ = frame;
    plan_units();
}

void ReadAhead::plan_units() {
    if (decoders_ == 0 || stopping_ || (plan_.pixels_wanted(position_) && !pixels_possible_) ||
        !guard_.allows(plan_.unit_of(position_))) {
        return;
    }
    start_decoders();
    if (broken_) {
        return;
    }
    if (plan_.extend(position_)) {
        work_.notify_all();
    }
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
    std::deque<std::shared_ptr<AheadUnit>>& planned = plan_.units();
    while (!planned.empty() && planned.front()->number < number) {
        const std::shared_ptr<AheadUnit> unit = planned.front();
        if (unit->contains(position_) && unit->end() - position_ <= kCallerUnitReach) {
            delivered_.wait(lock, [&] { return unit->finished || unit->abandoned || stalls(*unit); });
        }
        unit->hand_over(unit->end(), budget_, passed);
        abandon(*unit);
        planned.pop_front();
    }
}

void ReadAhead::abandon(AheadUnit& unit) {
    unit.abandon(budget_);
    room_.notify_all();
}

// Units under way are finished and taken; those nobody decodes yet are let go.
void ReadAhead::let_go_of_undecoded_units() {
    std::deque<std::shared_ptr<AheadUnit>>& planned = plan_.units();
    while (!planned.empty() && !planned.back()->decoding && !planned.back()->finished) {
        abandon(*planned.back());
        planned.pop_back();
    }
}

void ReadAhead::abandon_all() {
    for (const std::shared_ptr<AheadUnit>& unit : plan_.units()) {
        abandon(*unit);
    }
    plan_.units().clear();
}

// A decoder's thread: opens its decoder with the first unit and keeps it for the next ones.
void ReadAhead::decode_units() {
    std::unique_ptr<IntervalDecoder> decoder;
    while (const std::shared_ptr<AheadUnit> unit = next_unit()) {
        BusyTime busy;
        busy.start();
        try {
            if (!decoder) {
                // The decoder opens the file again by its path, which must still lead to it.
                check_same_file(index_->path, index_->file);
                decoder = std::make_unique<IntervalDecoder>(index_, decoder_options_, pictures_);
            }
            const IntervalDelivery delivery{
                [&](const DecodedPicture& picture) { admit(*unit, picture.frame, picture.snapshot, busy); },
                unit->with_pixels, [&unit] { return unit->abandoned.load(std::memory_order_relaxed); }};
            decoder->decode(unit->interval_frames(), delivery);
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

std::shared_ptr<AheadUnit> ReadAhead::next_unit() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (stopping_) {
            return nullptr;
        }
        for (const std::shared_ptr<AheadUnit>& unit : plan_.units()) {
            if (!unit->decoding && !unit->finished) {
                unit->decoding = true;
                return unit;
            }
        }
        work_.wait(lock);
    }
}

void ReadAhead::admit(AheadUnit& unit, int32_t frame, std::shared_ptr<FrameSnapshot> snapshot, BusyTime& busy) {
    const std::size_t bytes = SnapshotBudget::bytes_of(*snapshot);
    std::unique_lock<std::mutex> lock(mutex_);
    if (!unit.abandoned && !budget_.has_room(unit, frame, bytes, position_)) {
        busy.stop();
        unit.waiting_for_room.emplace(frame, bytes);
        delivered_.notify_all();
        room_.wait(lock, [&] { return unit.abandoned || budget_.has_room(unit, frame, bytes, position_); });
        unit.waiting_for_room.reset();
        busy.start();
    }
    if (unit.abandoned) {
        return;
    }
    unit.admit(frame, std::move(snapshot), bytes, budget_);
    delivered_.notify_all();
}

void ReadAhead::finish(AheadUnit& unit, const BusyTime& busy) {
    std::lock_guard<std::mutex> lock(mutex_);
    unit.finished = true;
    unit.decoding = false;
    if (unit.abandoned) {
        return;
    }
    const int32_t caller_unit = plan_.unit_of(position_);
    guard_.record(busy.seconds(), busy.processor_seconds(), caller_unit);
    if (!guard_.allows(caller_unit)) {
        let_go_of_undecoded_units();
    }
    delivered_.notify_all();
}
