#pragma once

#include <cstddef>
#include <memory>

// Memory for a batch's results, tens of megabytes handed to NumPy and freed with its array.
// Memory this large comes fresh from the kernel, which clears every page of it when first
// touched, a cost as large as the batch's own work where batches follow each other. So a
// few freed buffers (256 MiB at most) are kept for the next batch of about their size, the
// kernel told it may take their pages back whenever it needs them; new ones are asked for in
// huge pages, which fault in 512 times less often. Safe from any thread.

// Uninitialised; throws std::bad_alloc.
void* allocate_large(std::size_t bytes);
// Takes back what allocate_large gave.
void release_large(void* data) noexcept;

struct LargeBufferRelease {
    void operator()(void* data) const noexcept { release_large(data); }
};

template <typename T>
using LargeBuffer = std::unique_ptr<T[], LargeBufferRelease>;

template <typename T>
LargeBuffer<T> allocate_large_buffer(std::size_t count) {
    return LargeBuffer<T>(static_cast<T*>(allocate_large(count * sizeof(T))));
}
