#pragma once

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "h264/nal_units.hpp"

// Reads the syntax elements of one NAL unit's payload: fixed-width fields and Exp-Golomb
// codes, with the emulation prevention bytes taken out. A read past the end throws
// RbspReader::Exhausted, which the callers take as "this header cannot be read".
class RbspReader {
public:
    struct Exhausted : std::runtime_error {
        Exhausted() : std::runtime_error("H.264 header ends early") {}
    };

    // Reads at most `limit` bytes of the payload: headers need only the start of a slice.
    explicit RbspReader(const NalUnit& unit, int limit = 1 << 16);

    uint32_t bits(int count);
    bool flag() { return bits(1) != 0; }
    uint32_t unsigned_code();
    int32_t signed_code();

private:
    std::vector<uint8_t> payload_;
    std::size_t position_ = 0;
};
