#include "syntax/syntax_batch.hpp"

#include <algorithm>
#include <exception>

#include "batch/worker_pool.hpp"
#include "system/usable_cores.hpp"

namespace {

// Thrown from a reader whose batch has stopped (another reader's error, an interrupt): it
// ends the reader's run and is never the batch's error, which is recorded before.
struct BatchStopped {};

void stop_if(const FirstError& error) {
    if (error.stopped()) {
        throw BatchStopped{};
    }
}

// The positions of `frames` in the order their packets lie in the file.
std::vector<std::size_t> file_order(const FrameSyntaxReader& reader, const std::vector<int32_t>& frames) {
    std::vector<std::size_t> order(frames.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return reader.packet_of(frames[a]) < reader.packet_of(frames[b]);
    });
    return order;
}

}  // namespace

void read_syntax_of_frames(const std::shared_ptr<const StreamIndex>& index, const SessionOptions& options,
                           FrameSyntaxReader& first, const std::vector<int32_t>& frames, int threads,
                           const std::function<void(std::size_t position, const FrameSyntax& syntax)>& take,
                           SyntaxDepth depth) {
    if (frames.empty()) {
        return;
    }
    const std::vector<std::size_t> order = file_order(first, frames);
    // The frames the memo holds now are taken from it, whatever the readers keep meanwhile.
    SyntaxMemo* memo = first.memo();
    std::vector<std::shared_ptr<const FrameSyntax>> kept(frames.size());
    if (memo != nullptr && depth != SyntaxDepth::Levels) {
        for (std::size_t i = 0; i < frames.size(); ++i) {
            kept[i] = memo->find(frames[i], SyntaxMemo::Read::InFileOrder, depth == SyntaxDepth::Records);
        }
    }
    const std::size_t runs =
        std::max<std::size_t>(1, std::min(static_cast<std::size_t>(threads == 0 ? usable_cores() : threads), frames.size()));
    FirstError error;
    const auto read_run = [&](std::size_t run, FrameSyntaxReader& reader) {
        const std::size_t begin = order.size() * run / runs;
        const std::size_t end = order.size() * (run + 1) / runs;
        std::vector<int32_t> run_frames;
        std::vector<std::size_t> run_positions;
        for (std::size_t i = begin; i < end; ++i) {
            if (kept[order[i]]) {
                stop_if(error);
                take(order[i], *kept[order[i]]);
            } else {
                run_frames.push_back(frames[order[i]]);
                run_positions.push_back(order[i]);
            }
        }
        reader.read_in_file_order(run_frames, [&](std::size_t position, const FrameSyntax& syntax) {
            stop_if(error);
            take(run_positions[position], syntax);
        }, depth, memo);
    };
    // Every run on a thread of its own, the first with the caller's reader, so that the
    // caller is free to ask its interrupt check while they read.
    WorkersDone done(runs);
    {
        JoinedThreads pool;
        for (std::size_t run = 0; run < runs; ++run) {
            pool.start([&, run] {
                try {
                    if (run == 0) {
                        read_run(run, first);
                    } else {
                        FrameSyntaxReader reader(index, options);
                        read_run(run, reader);
                    }
                } catch (const BatchStopped&) {
                    // The batch's error is recorded already.
                } catch (...) {
                    error.record(std::current_exception());
                }
                done.count_down();
            });
        }
        wait_for_workers(done, error);
    }
    error.rethrow();
}
