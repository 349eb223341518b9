#include "h264/cabac_engine.hpp"

CabacEngine::CabacEngine(const uint8_t* data, std::size_t size_bytes, std::size_t start_byte)
    : data_(data), size_(size_bytes), next_(start_byte) {
    value_ = next_word();
    scale_ = 32 - 9;
}
