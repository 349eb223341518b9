#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "h264/nal_units.hpp"

// Reads the syntax elements of one NAL unit's payload: fixed-width fields and Exp-Golomb
// codes, skipping the emulation prevention bytes as it goes, without copying the unit: the
// opening scan reads a few bytes of every packet's slice header. A read past the end throws
// RbspReader::Exhausted, which the callers take as "this header cannot be read".
class RbspReader {
public:
    struct Exhausted : std::runtime_error {
        Exhausted() : std::runtime_error("H.264 header ends early") {}
    };

    // Reads at most the unit's first `limit` bytes.
    explicit RbspReader(const NalUnit& unit, int limit = 1 << 16);

    uint32_t bits(int count);
    bool flag() { return bits(1) != 0; }
    uint32_t unsigned_code();
    int32_t signed_code();

private:
    void load_next_byte();

    const uint8_t* data_;
    std::size_t end_;
    // The next byte of the unit to read, and the zero bytes just read before it.
    std::size_t next_ = 1;
    int zeros_ = 0;
    uint8_t current_ = 0;
    int bits_left_ = 0;
};
