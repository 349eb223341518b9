#include "h264/cabac_engine.hpp"

#include <cstring>

CabacEngine::CabacEngine(const uint8_t* data, std::size_t size_bytes, std::size_t start_byte)
    : data_(data), size_(size_bytes), next_(start_byte) {
    value_ = next_word();
    scale_ = 32 - 9;
}

uint32_t CabacEngine::next_word() {
    uint32_t word = 0;
    if (next_ + 4 <= size_) {
        std::memcpy(&word, data_ + next_, 4);
        word = __builtin_bswap32(word);
    } else {
        for (std::size_t i = next_; i < next_ + 4; ++i) {
            word = (word << 8) | (i < size_ ? data_[i] : 0u);
        }
    }
    next_ += 4;
    return word;
}
