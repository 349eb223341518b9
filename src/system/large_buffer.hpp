#pragma once

#include <cstddef>
#include <memory>

// Memory for a batch's results, tens of megabytes handed to NumPy and freed with its array.
// The allocator maps a block this large fresh from the kernel each time, which then faults
// it in a page of 4 KiB at a time: asked for in huge pages where the kernel offers them, a
// batch's planes fault in 512 times less often. Freed with std::free.
struct FreeDeleter {
    void operator()(void* data) const noexcept;
};

template <typename T>
using LargeBuffer = std::unique_ptr<T[], FreeDeleter>;

// Uninitialised; throws std::bad_alloc.
void* allocate_large(std::size_t bytes);

template <typename T>
LargeBuffer<T> allocate_large_buffer(std::size_t count) {
    return LargeBuffer<T>(static_cast<T*>(allocate_large(count * sizeof(T))));
}
