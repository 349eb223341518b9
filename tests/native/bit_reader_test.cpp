// The RBSP bit reader of the macroblock layer: emulation prevention, Exp-Golomb codes from
// hand-made bit strings, reads at every alignment against a bit-by-bit reading, and reads
// past the end.
// Usage: bit_reader_test

#include <cstdint>
#include <random>
#include <vector>

#include "bit_strings.hpp"
#include "check.hpp"
#include "h264/bit_reader.hpp"

namespace {

std::vector<uint8_t> unescaped(const std::vector<uint8_t>& nal) {
    std::vector<uint8_t> out;
    unescape_rbsp(nal.data(), nal.size(), out);
    return out;
}

void emulation_prevention_bytes_are_removed() {
    CHECK_EQ(unescaped({0, 0, 3, 1}), (std::vector<uint8_t>{0, 0, 1}));
    CHECK_EQ(unescaped({0, 0, 3, 0, 0, 3, 2}), (std::vector<uint8_t>{0, 0, 0, 0, 2}));
    // The byte after a removed 0x03 starts a new count of zeros.
    CHECK_EQ(unescaped({0, 0, 3, 3, 0, 0, 3}), (std::vector<uint8_t>{0, 0, 3, 0, 0}));
    CHECK_EQ(unescaped({0, 3, 0, 0, 0x13, 3, 0}), (std::vector<uint8_t>{0, 3, 0, 0, 0x13, 3, 0}));
    CHECK_EQ(unescaped({0x13, 0, 3, 0, 0, 3, 1}), (std::vector<uint8_t>{0x13, 0, 3, 0, 0, 1}));
    CHECK_EQ(unescaped({3, 0}), (std::vector<uint8_t>{3, 0}));
}

void exp_golomb_codes_read_their_values() {
    // ue: 1 -> 0, 010 -> 1, 011 -> 2, 00100 -> 3, 0001000 -> 7, 20 zeros 1 20 zeros -> 2^20-1,
    // 12 zeros 1 0000 0000 1110 -> 2^12-1+14, 16 zeros 1 ...0101 -> 2^16-1+5.
    const std::string zeros20(20, '0');
    const std::string zeros16(16, '0');
    auto bytes = bytes_of_bits("1 010 011 00100 0001000 " + zeros20 + "1" + zeros20 + " 0000 0000 0000 1 0000 0000 1110 " +
                           zeros16 + "1 0000 0000 0000 0101");
    BitReader ue(bytes.data(), bytes.size());
    for (const uint32_t expected : {0u, 1u, 2u, 3u, 7u, (1u << 20) - 1, (1u << 12) - 1 + 14, (1u << 16) - 1 + 5}) {
        CHECK_EQ(ue.ue(), expected);
    }
    // se: 010 -> 1, 011 -> -1, 00100 -> 2, 00101 -> -2, 1 -> 0; te with range 1 inverts a bit.
    bytes = bytes_of_bits("010 011 00100 00101 1 0 1 011");
    BitReader se(bytes.data(), bytes.size());
    for (const int32_t expected : {1, -1, 2, -2, 0}) {
        CHECK_EQ(se.se(), expected);
    }
    CHECK_EQ(se.te(1), 1u);
    CHECK_EQ(se.te(1), 0u);
    CHECK_EQ(se.te(3), 2u);
    CHECK_EQ(se.position(), 22u);
    CHECK(!se.overrun());
}

// An independent reading of bit i of the buffer.
uint32_t bits_at(const std::vector<uint8_t>& bytes, std::size_t start, int n) {
    uint32_t value = 0;
    for (int i = 0; i < n; ++i) {
        const std::size_t bit = start + static_cast<std::size_t>(i);
        value = (value << 1) | ((bytes[bit / 8] >> (7 - bit % 8)) & 1u);
    }
    return value;
}

void reads_of_every_width_match_a_bit_by_bit_reading() {
    std::mt19937 random(7);
    std::vector<uint8_t> bytes(4099);
    for (auto& byte : bytes) {
        byte = static_cast<uint8_t>(random());
    }
    BitReader reader(bytes.data(), bytes.size());
    std::size_t position = 0;
    while (position + 32 <= 8 * bytes.size()) {
        const int n = static_cast<int>(random() % 33);
        CHECK_EQ(reader.peek(n), bits_at(bytes, position, n));
        CHECK_EQ(reader.read(n), bits_at(bytes, position, n));
        position += static_cast<std::size_t>(n);
        CHECK_EQ(reader.position(), position);
    }
}

void reads_past_the_end_are_zeros_and_flagged() {
    const std::vector<uint8_t> bytes{0xFF, 0x81};
    BitReader reader(bytes.data(), bytes.size());
    CHECK_EQ(reader.read(12), 0xFF8u);
    CHECK(!reader.overrun());
    CHECK_EQ(reader.read(4), 1u);
    CHECK(!reader.overrun());
    CHECK_EQ(reader.read(32), 0u);
    CHECK(reader.overrun());
    CHECK_EQ(reader.ue(), 0xFFFFFFFFu);
    BitReader empty(nullptr, 0);
    CHECK_EQ(empty.read(3), 0u);
    CHECK(empty.overrun());
}

void more_rbsp_data_stops_at_the_stop_bit() {
    // A flag, the stop bit, alignment zeros, then a cabac_zero_word.
    const std::vector<uint8_t> bytes{0xC0, 0x00, 0x00};
    BitReader reader(bytes.data(), bytes.size());
    CHECK(reader.more_rbsp_data());
    CHECK(reader.flag());
    CHECK(!reader.more_rbsp_data());
    CHECK(!reader.byte_aligned());
    reader.align();
    CHECK_EQ(reader.position(), 8u);
    CHECK(reader.byte_aligned());
    const std::vector<uint8_t> zeros{0, 0};
    CHECK(!BitReader(zeros.data(), zeros.size()).more_rbsp_data());
}

}  // namespace

int main() {
    emulation_prevention_bytes_are_removed();
    exp_golomb_codes_read_their_values();
    reads_of_every_width_match_a_bit_by_bit_reading();
    reads_past_the_end_are_zeros_and_flagged();
    more_rbsp_data_stops_at_the_stop_bit();
    return finish("bit_reader_test");
}
