#include "h264/rbsp_reader.hpp"

#include <algorithm>

namespace {

// Exp-Golomb codes of more leading zeros than this have no place in any header field.
constexpr int kLongestCodePrefix = 31;

}  // namespace

RbspReader::RbspReader(const NalUnit& unit, int limit) {
    const int end = std::min(unit.size, limit);
    payload_.reserve(static_cast<std::size_t>(std::max(end - 1, 0)));
    int zeros = 0;
    for (int i = 1; i < end; ++i) {
        const uint8_t byte = unit.data[i];
        if (zeros >= 2 && byte == 3) {
            zeros = 0;
            continue;
        }
        payload_.push_back(byte);
        zeros = byte == 0 ? zeros + 1 : 0;
    }
}

uint32_t RbspReader::bits(int count) {
    uint32_t value = 0;
    for (int i = 0; i < count; ++i) {
        if (position_ >= payload_.size() * 8) {
            throw Exhausted();
        }
        const uint8_t byte = payload_[position_ >> 3];
        value = (value << 1) | ((byte >> (7 - (position_ & 7))) & 1u);
        ++position_;
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
