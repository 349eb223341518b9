#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// The 32 bits at byte `at` of data of `size` bytes as a big-endian number, bytes past the end
// read as zeros. A free function of values: a reader that calls it keeps its own fields in
// registers, where a call given the reader's address would make it live in memory.
inline uint32_t big_endian_word(const uint8_t* data, std::size_t size, std::size_t at) {
    uint32_t word = 0;
    if (at + 4 <= size) {
        std::memcpy(&word, data + at, 4);
        return __builtin_bswap32(word);
    }
    for (std::size_t i = at; i < at + 4; ++i) {
        word = (word << 8) | (i < size ? data[i] : 0u);
    }
    return word;
}
