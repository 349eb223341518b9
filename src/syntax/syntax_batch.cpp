#include "syntax/syntax_batch.hpp"

#include <algorithm>
#include <exception>
#include <mutex>
#include <thread>

void read_syntax_of_frames(const std::shared_ptr<const StreamIndex>& index, const SessionOptions& options,
                           FrameSyntaxReader& first, const std::vector<int32_t>& frames, int threads,
                           const std::function<void(std::size_t position, const FrameSyntax& syntax)>& take) {
    std::vector<std::size_t> order(frames.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return first.packet_of(frames[a]) < first.packet_of(frames[b]);
    });
    const std::size_t runs =
        std::max<std::size_t>(1, std::min(static_cast<std::size_t>(std::max(threads, 1)), frames.size()));
    std::exception_ptr error;
    std::mutex error_mutex;
    const auto read_run = [&](std::size_t run, FrameSyntaxReader& reader) {
        try {
            const std::size_t begin = order.size() * run / runs;
            const std::size_t end = order.size() * (run + 1) / runs;
            std::vector<int32_t> run_frames;
            for (std::size_t i = begin; i < end; ++i) {
                run_frames.push_back(frames[order[i]]);
            }
            reader.read_in_file_order(run_frames, [&](std::size_t position, const FrameSyntax& syntax) {
                take(order[begin + position], syntax);
            });
        } catch (...) {
            const std::lock_guard<std::mutex> lock(error_mutex);
            error = error ? error : std::current_exception();
        }
    };
    std::vector<std::thread> workers;
    for (std::size_t run = 1; run < runs; ++run) {
        workers.emplace_back([&, run] {
            try {
                FrameSyntaxReader reader(index, options);
                read_run(run, reader);
            } catch (...) {
                const std::lock_guard<std::mutex> lock(error_mutex);
                error = error ? error : std::current_exception();
            }
        });
    }
    read_run(0, first);
    for (std::thread& worker : workers) {
        worker.join();
    }
    if (error) {
        std::rethrow_exception(error);
    }
}
