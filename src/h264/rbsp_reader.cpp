#include "h264/rbsp_reader.hpp"

#include <algorithm>

namespace {

// Exp-Golomb codes of more leading zeros than this have no place in any header field.
constexpr int kLongestCodePrefix = 31;

}  // namespace

RbspReader::RbspReader(const NalUnit& unit, int limit)
    : data_(unit.data), end_(static_cast<std::size_t>(std::max(std::min(unit.size, limit), 0))) {}

// An 0x03 after two zero bytes was put there so that the payload holds no start code; it is
// no part of the payload.
void RbspReader::load_next_byte() {
    if (next_ < end_ && zeros_ >= 2 && data_[next_] == 3) {
        ++next_;
        zeros_ = 0;
    }
    if (next_ >= end_) {
        throw Exhausted();
    }
    current_ = data_[next_++];
    zeros_ = current_ == 0 ? zeros_ + 1 : 0;
    bits_left_ = 8;
}

uint32_t RbspReader::bits(int count) {
    uint32_t value = 0;
    for (int i = 0; i < count; ++i) {
        if (bits_left_ == 0) {
            load_next_byte();
        }
        --bits_left_;
        value = (value << 1) | ((current_ >> bits_left_) & 1u);
    }
    return value;
}

uint32_t RbspReader::unsigned_code() {
    int zeros = 0;
    while (bits(1) == 0) {
        if (++zeros > kLongestCodePrefix) {
            throw Exhausted();
        }
    }
    return ((uint32_t{1} << zeros) - 1) + bits(zeros);
}

int32_t RbspReader::signed_code() {
    const uint32_t code = unsigned_code();
    const auto magnitude = static_cast<int32_t>((code + 1) / 2);
    return code % 2 ? magnitude : -magnitude;
}
