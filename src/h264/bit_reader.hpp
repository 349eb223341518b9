#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "h264/big_endian_word.hpp"

// The macroblock layer's view of an RBSP: the payload of a NAL unit with its emulation
// prevention bytes removed, read a few bits at a time.
//
// unescape_rbsp() takes any run of bytes of a NAL unit (the callers pass the bytes after
// the NAL unit header) and appends them to `out` without the 0x03 of every 0x000003; a
// final 0x03 after two zero bytes is dropped as well (it follows cabac_zero_words).
void unescape_rbsp(const uint8_t* nal, std::size_t size, std::vector<uint8_t>& out);

// Reads fixed-width fields and the Exp-Golomb codes ue(v), se(v) and te(v) of 9.1 from an
// unescaped buffer the caller keeps alive. Every read is header-inline and never throws:
// bits past the end of the buffer read as zeros and make overrun() true, so a damaged
// slice is noticed by one check after a macroblock rather than one per element.
//
// The reader keeps the next bits left-aligned in a 64-bit cache; when a read needs more
// bits than the cache holds, it loads the next 32-bit big-endian word of the buffer (or the
// zero-padded tail).
class BitReader {
public:
    BitReader(const uint8_t* data, std::size_t size_bytes) : data_(data), size_(size_bytes) {
        stop_bit_ = find_stop_bit();
    }

    // The next n bits (n <= 32) as an unsigned number, without consuming them.
    uint32_t peek(int n) {
        if (count_ < n) {
            refill();
        }
        return n == 0 ? 0 : static_cast<uint32_t>(cache_ >> (64 - n));
    }

    void skip(int n) {
        if (count_ < n) {
            refill();
        }
        cache_ <<= n;
        count_ -= n;
    }

    uint32_t read(int n) {
        const uint32_t value = peek(n);
        skip(n);
        return value;
    }

    bool flag() { return read(1) != 0; }

    // ue(v): a code of more than 31 leading zeros has no value; it consumes 32 bits and
    // reads as 0xFFFFFFFF, which every caller's range check refuses.
    uint32_t ue() {
        const uint32_t window = peek(32);
        if (window >= (1u << 16)) {
            const int zeros = __builtin_clz(window);
            skip(2 * zeros + 1);
            return (window >> (31 - 2 * zeros)) - 1;
        }
        if (window == 0) {
            skip(32);
            return 0xFFFFFFFFu;
        }
        const int zeros = __builtin_clz(window);
        skip(zeros);
        return read(zeros + 1) - 1;
    }

    // se(v): codeNum k maps to (-1)^(k+1) * Ceil(k / 2) (Table 9-3).
    int32_t se() {
        const uint64_t code = ue();
        const auto magnitude = static_cast<int32_t>((code + 1) / 2);
        return (code & 1) ? magnitude : -magnitude;
    }

    // te(v) with the range of its syntax element: one inverted bit when the range is 1.
    uint32_t te(int range) { return range > 1 ? ue() : read(1) ^ 1u; }

    // Bits consumed from the start of the buffer; larger than size_bits() after an overrun.
    std::size_t position() const { return 8 * next_ - static_cast<std::size_t>(count_); }
    std::size_t size_bits() const { return 8 * size_; }
    bool overrun() const { return position() > size_bits(); }

    // 7.2: there is more data before the rbsp_stop_one_bit, the last 1 bit of the buffer
    // (cabac_zero_words after it are zeros and do not move it).
    bool more_rbsp_data() const { return position() < stop_bit_; }

    bool byte_aligned() const { return position() % 8 == 0; }
    void align() { skip(static_cast<int>((8 - position() % 8) % 8)); }

private:
    void refill() {
        const uint32_t word = big_endian_word(data_, size_, next_);
        cache_ |= static_cast<uint64_t>(word) << (32 - count_);
        count_ += 32;
        next_ += 4;
    }

    std::size_t find_stop_bit() const {
        for (std::size_t i = size_; i > 0; --i) {
            if (data_[i - 1] != 0) {
                return 8 * (i - 1) + 7 - static_cast<std::size_t>(__builtin_ctz(data_[i - 1]));
            }
        }
        return 0;
    }

    const uint8_t* data_;
    std::size_t size_;
    // Bytes of the buffer loaded into the cache so far, counting the zeros past its end.
    std::size_t next_ = 0;
    uint64_t cache_ = 0;
    // Valid bits at the top of the cache; at most 64.
    int count_ = 0;
    std::size_t stop_bit_ = 0;
};
