#include "system/large_buffer.hpp"

#include <sys/mman.h>

#include <cstdlib>
#include <deque>
#include <mutex>
#include <new>
#include <unordered_map>

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
// Enough for the residual planes and motion fields of a 1080p batch of 25 frames.
constexpr std::size_t kKeptBuffers = 6;
constexpr std::size_t kKeptBytes = std::size_t{256} << 20;

class LargeBufferPool {
public:
    void* take(std::size_t bytes) {
        const std::lock_guard<std::mutex> lock(mutex_);
        // The smallest kept buffer that holds it, if not a quarter larger: batches of one
        // size differ by a frame or two (a motion-field batch leaves out its I frames).
        auto best = kept_.end();
        for (auto kept = kept_.begin(); kept != kept_.end(); ++kept) {
            const std::size_t size = sizes_.at(*kept);
            if (size >= bytes && size <= bytes + bytes / 4 && (best == kept_.end() || size < sizes_.at(*best))) {
                best = kept;
            }
        }
        if (best != kept_.end()) {
            void* data = *best;
            kept_bytes_ -= sizes_.at(data);
            kept_.erase(best);
            return data;
        }
        void* data = std::aligned_alloc(kHugePage, bytes);
        if (data == nullptr) {
            throw std::bad_alloc();
        }
        // Only advice: where the kernel has no huge pages to give, the buffer works as it is.
        (void)madvise(data, bytes, MADV_HUGEPAGE);
        sizes_.emplace(data, bytes);
        return data;
    }

    // Whether the buffer was one of the pool's.
    bool give_back(void* data) noexcept {
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto size = sizes_.find(data);
        if (size == sizes_.end()) {
            return false;
        }
        // Its contents are not needed again: the kernel may reclaim its pages meanwhile, and
        // gives cleared ones where it did.
        (void)madvise(data, size->second, MADV_FREE);
        kept_.push_back(data);
        kept_bytes_ += size->second;
        while (kept_.size() > kKeptBuffers || kept_bytes_ > kKeptBytes) {
            void* oldest = kept_.front();
            kept_.pop_front();
            const auto oldest_size = sizes_.find(oldest);
            kept_bytes_ -= oldest_size->second;
            sizes_.erase(oldest_size);
            std::free(oldest);
        }
        return true;
    }

private:
    std::mutex mutex_;
    std::unordered_map<void*, std::size_t> sizes_;
    std::deque<void*> kept_;
    std::size_t kept_bytes_ = 0;
};

// Never destroyed: NumPy may free a batch's arrays while the interpreter shuts down.
LargeBufferPool& pool() {
    static LargeBufferPool* const instance = new LargeBufferPool();
    return *instance;
}

}  // namespace

void* allocate_large(std::size_t bytes) {
    if (bytes < kHugePage) {
        void* data = std::malloc(bytes == 0 ? 1 : bytes);
        if (data == nullptr) {
            throw std::bad_alloc();
        }
        return data;
    }
    // aligned_alloc wants a multiple of the alignment; the huge pages must start on one.
    return pool().take((bytes + kHugePage - 1) / kHugePage * kHugePage);
}

void release_large(void* data) noexcept {
    if (data != nullptr && !pool().give_back(data)) {
        std::free(data);
    }
}
