#include "system/large_buffer.hpp"

#include <sys/mman.h>

#include <cstdlib>
#include <new>

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

}  // namespace

void FreeDeleter::operator()(void* data) const noexcept { std::free(data); }

void* allocate_large(std::size_t bytes) {
    if (bytes < kHugePage) {
        void* data = std::malloc(bytes == 0 ? 1 : bytes);
        if (data == nullptr) {
            throw std::bad_alloc();
        }
        return data;
    }
    // aligned_alloc wants a multiple of the alignment; the huge pages must start on one.
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* data = std::aligned_alloc(kHugePage, rounded);
    if (data == nullptr) {
        throw std::bad_alloc();
    }
    // Only advice: where the kernel has no huge pages to give, the buffer works as it is.
    (void)madvise(data, rounded, MADV_HUGEPAGE);
    return data;
}
