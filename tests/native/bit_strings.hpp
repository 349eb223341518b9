#pragma once

// Bit strings written as the Recommendation prints codes ("0001 01"), packed into bytes.

#include <cstdint>
#include <string>
#include <vector>

inline std::string bits_only(const std::string& text) {
    std::string bits;
    for (const char c : text) {
        if (c == '0' || c == '1') {
            bits += c;
        }
    }
    return bits;
}

// The bits, then `fill` repeated up to a whole number of bytes and `extra_bytes` more bytes.
inline std::vector<uint8_t> bytes_of_bits(const std::string& text, char fill = '0', int extra_bytes = 0) {
    std::string bits = bits_only(text);
    while (bits.size() % 8 != 0) {
        bits += fill;
    }
    bits.append(8 * static_cast<std::size_t>(extra_bytes), fill);
    std::vector<uint8_t> bytes(bits.size() / 8, 0);
    for (std::size_t i = 0; i < bits.size(); ++i) {
        bytes[i / 8] = static_cast<uint8_t>(bytes[i / 8] | ((bits[i] - '0') << (7 - i % 8)));
    }
    return bytes;
}
