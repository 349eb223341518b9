#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "ahead/ahead_unit.hpp"
#include "ahead/core_guard.hpp"
#include "ahead/snapshot_budget.hpp"
#include "ahead/unit_plan.hpp"
#include "ffmpeg/picture_pool.hpp"
#include "ffmpeg/session_options.hpp"
#include "frame/frame_snapshot.hpp"
#include "index/stream_index.hpp"

// While a session's requests move forward, decodes the key-frame intervals after the one the
// caller is in on decoders of its own, each on a thread of its own, so that a simple loop over
// the frames gets more than one core.
//
// The work comes in units (AheadUnit): the frames that decoding from one key packet gives (an
// open GOP's leading pictures with the interval they are decoded from), decoded by an
// IntervalDecoder from that packet, which gives exactly the frame methods' pictures, with a
// retry from the key packet before for pictures FFmpeg withholds. Units are planned (UnitPlan)
// in frame order, `decoders` of them beyond the one the caller is in; each decoder takes the
// lowest unit nobody decodes. The hand-over: when the caller reaches a planned unit, the
// decoder that ran ahead on it holds its references and simply goes on, the caller taking each
// snapshot as it comes out, while the decoder that finished moves ahead to the next unit. No
// picture is decoded twice, and the caller's own decoder decodes only the unit it was in when
// running ahead began.
//
// Memory: units planned from the caller's on, at most `decoders` + 1; the snapshots they hold
// before the caller takes them at most the byte budget (SnapshotBudget), except that the unit
// the caller is in may always deliver up to a few frames beyond the caller's last request, so
// that the frame the caller waits for always finds room. A caller that waits for a frame while
// that unit's decoder waits for room beyond it (a frame that never came out where expected)
// decodes the frame itself. Snapshots keep their pixels where recent requests asked for pixels,
// which the "exact" deblocking mode cannot have from a run over whole intervals: there only QP
// maps and facts are read ahead.
//
// Every failure ahead (a decoder that cannot be opened, FFmpeg's errors, frames a unit does not
// deliver) leaves the frame to the caller's own decoder, which gives the frame methods' picture
// or raises their error. A request before the caller's unit or beyond the planned ones ends
// running ahead: the decoders drop their units at their next packet, and the caller does not
// wait for them. stop() and the destructor end and join every thread.
//
// Not thread-safe on the caller's side: the session's lock serialises take and run_ahead_of.
class ReadAhead {
public:
    // Runs as many units ahead of the one the caller is in as the options' read_ahead says,
    // holding at most `byte_budget` of snapshots not taken yet; the decoders take their
    // pictures from the session's pool.
    ReadAhead(std::shared_ptr<const StreamIndex> index, const SessionOptions& options,
              std::shared_ptr<PicturePool> pictures, std::size_t byte_budget = kReadAheadByteBudget);
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // The frame's snapshot where a planned unit gives it, once it has come out; null where the
    // caller has to decode the frame itself. The snapshots of the unit's frames before it,
    // which the caller passed over, are handed over in `passed`.
    std::shared_ptr<FrameSnapshot> take(int32_t frame, bool needs_pixels, std::vector<NumberedSnapshot>& passed);

    // After the caller decoded `frame` itself while its requests move forward: plans the units
    // after the one it lies in.
    void run_ahead_of(int32_t frame, bool needs_pixels);

    // Stops running ahead for good: every unit let go, every decoder's thread ended, once a
    // packet under way is decoded. Closing a session does it; the destructor too.
    void stop();

    // Frames that take gave the caller so far, for tests and diagnostics.
    int64_t frames_taken() const { return frames_taken_; }
    // The bytes of the snapshots held now and at most so far, against the budget, for tests
    // and diagnostics.
    SnapshotBytes snapshot_bytes() const;

private:
    void plan_units();
    void start_decoders();
    void leave_units_before(int32_t number, std::unique_lock<std::mutex>& lock, std::vector<NumberedSnapshot>& passed);
    void abandon(AheadUnit& unit);
    void let_go_of_undecoded_units();
    void abandon_all();
    bool stalls(const AheadUnit& unit) const { return budget_.stalls(unit, position_); }

    // On the decoders' threads.
    void decode_units();
    std::shared_ptr<AheadUnit> next_unit();
    void admit(AheadUnit& unit, int32_t frame, std::shared_ptr<FrameSnapshot> snapshot, BusyTime& busy);
    void finish(AheadUnit& unit, const BusyTime& busy);

    const std::shared_ptr<const StreamIndex> index_;
    const SessionOptions decoder_options_;
    const std::shared_ptr<PicturePool> pictures_;
    const bool pixels_possible_;
    const int decoders_;

    mutable std::mutex mutex_;
    // Decoders wait for a unit, for room, and the caller for a frame.
    std::condition_variable work_;
    std::condition_variable room_;
    std::condition_variable delivered_;
    CoreGuard guard_;
    UnitPlan plan_;
    SnapshotBudget budget_;
    // The caller's last request that the frame cache did not serve.
    int32_t position_ = 0;
    bool stopping_ = false;
    // Set when a decoder could not be opened: the file cannot be read ahead.
    bool broken_ = false;
    int64_t frames_taken_ = 0;
    std::vector<std::thread> threads_;
};
