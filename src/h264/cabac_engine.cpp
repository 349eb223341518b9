#include "h264/cabac_engine.hpp"

CabacEngine::CabacEngine(const uint8_t* data, std::size_t size_bytes, std::size_t start_byte)
    : data_(data), size_(size_bytes), next_(start_byte) {
    value_ = next_word();
    scale_ = 32 - 9;
}

uint32_t cabac_word_at_end(const uint8_t* data, std::size_t size, std::size_t next) {
    uint32_t word = 0;
    for (std::size_t i = next; i < next + 4; ++i) {
        word = (word << 8) | (i < size ? data[i] : 0u);
    }
    return word;
}
