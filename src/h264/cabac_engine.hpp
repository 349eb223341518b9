#pragma once

#include <cstddef>
#include <cstdint>

#include "h264/big_endian_word.hpp"

// The arithmetic decoding engine of CABAC (9.3.1.2, 9.3.3.2): DecodeDecision,
// DecodeBypass and DecodeTerminate over a slice's unescaped data, header-inline for the
// macroblock parser's inner loops.
//
// A context's state is (pStateIdx << 1) | valMPS, so that the state after a decision is
// one table lookup; init_cabac_contexts() writes states in this form. It is held in 16 bits,
// not in a byte: a store through a byte may change any object, so after each state written
// the compiler would reload the engine's fields from memory; a uint16_t aliases none of them,
// and range, offset and read-ahead stay in registers from bin to bin.
//
// codIOffset is kept together with up to 39 bits read ahead of it: value_ holds
// codIOffset * 2^scale_ plus the next scale_ bits of the data, so a renormalisation by k
// bits is scale_ -= k and the data is loaded 32 bits at a time.
//
// bit_position() is the position in the data, in bits from its first byte, up to which
// the Recommendation's decoding process has read: 8 * start_byte + 9 after the
// initialisation, plus one bit per renormalisation shift and per bypass bin. The bits of
// a macroblock are the difference of the positions before and after it. After a
// terminate that returns 1 (end_of_slice_flag, or the mb_type bin that selects I_PCM) no
// renormalisation takes place and the last bit read is the final 1 the encoder flushed:
// for end_of_slice_flag that bit is the rbsp_stop_one_bit, so the position is just past
// it; for I_PCM the pcm_alignment_zero_bits start at the position.
//
// Bits past the end of the data read as zeros and make overrun() true; nothing outside
// the data is ever read.

// Table 9-44: rangeTabLPS[pStateIdx][qCodIRangeIdx].
inline constexpr uint8_t kRangeTabLPS[64][4] = {
    {128, 176, 208, 240}, {128, 167, 197, 227}, {128, 158, 187, 216}, {123, 150, 178, 205},
    {116, 142, 169, 195}, {111, 135, 160, 185}, {105, 128, 152, 175}, {100, 122, 144, 166},
    { 95, 116, 137, 158}, { 90, 110, 130, 150}, { 85, 104, 123, 142}, { 81,  99, 117, 135},
    { 77,  94, 111, 128}, { 73,  89, 105, 122}, { 69,  85, 100, 116}, { 66,  80,  95, 110},
    { 62,  76,  90, 104}, { 59,  72,  86,  99}, { 56,  69,  81,  94}, { 53,  65,  77,  89},
    { 51,  62,  73,  85}, { 48,  59,  69,  80}, { 46,  56,  66,  76}, { 43,  53,  63,  72},
    { 41,  50,  59,  69}, { 39,  48,  56,  65}, { 37,  45,  54,  62}, { 35,  43,  51,  59},
    { 33,  41,  48,  56}, { 32,  39,  46,  53}, { 30,  37,  43,  50}, { 29,  35,  41,  48},
    { 27,  33,  39,  45}, { 26,  31,  37,  43}, { 24,  30,  35,  41}, { 23,  28,  33,  39},
    { 22,  27,  32,  37}, { 21,  26,  30,  35}, { 20,  24,  29,  33}, { 19,  23,  27,  31},
    { 18,  22,  26,  30}, { 17,  21,  25,  28}, { 16,  20,  23,  27}, { 15,  19,  22,  25},
    { 14,  18,  21,  24}, { 14,  17,  20,  23}, { 13,  16,  19,  22}, { 12,  15,  18,  21},
    { 12,  14,  17,  20}, { 11,  14,  16,  19}, { 11,  13,  15,  18}, { 10,  12,  15,  17},
    { 10,  12,  14,  16}, {  9,  11,  13,  15}, {  9,  11,  12,  14}, {  8,  10,  12,  14},
    {  8,   9,  11,  13}, {  7,   9,  11,  12}, {  7,   9,  10,  12}, {  7,   8,  10,  11},
    {  6,   8,   9,  11}, {  6,   7,   9,  10}, {  6,   7,   8,   9}, {  2,   2,   2,   2},
};

// Table 9-45: transIdxLPS[pStateIdx]; transIdxMPS is Min(pStateIdx + 1, 62) but 63 for 63.
using CabacState = uint16_t;

inline constexpr uint8_t kTransIdxLPS[64] = {
     0,  0,  1,  2,  2,  4,  4,  5,  6,  7,  8,  9,  9, 11, 11, 12,
    13, 13, 15, 15, 16, 16, 18, 18, 19, 19, 21, 21, 22, 22, 23, 24,
    24, 25, 26, 26, 27, 27, 28, 29, 29, 30, 30, 30, 31, 32, 32, 33,
    33, 33, 34, 34, 35, 35, 35, 36, 36, 36, 37, 37, 37, 38, 38, 63,
};

namespace cabac_detail {

struct Transitions {
    // By packed state; [0] after the most probable symbol, [1] after the least.
    uint8_t next[2][128];
};

constexpr Transitions make_transitions() {
    Transitions t{};
    for (int p = 0; p < 64; ++p) {
        for (int mps = 0; mps < 2; ++mps) {
            const int state = (p << 1) | mps;
            const int after_mps = p == 63 ? 63 : p + 1 > 62 ? 62 : p + 1;
            t.next[0][state] = static_cast<uint8_t>((after_mps << 1) | mps);
            t.next[1][state] = static_cast<uint8_t>((kTransIdxLPS[p] << 1) | (p == 0 ? 1 - mps : mps));
        }
    }
    return t;
}

inline constexpr Transitions kTransitions = make_transitions();

}  // namespace cabac_detail

class CabacEngine {
public:
    // Reads the first 9 bits at start_byte, the first byte of slice_data() after the
    // cabac_alignment_one_bits (or the first byte after pcm samples).
    CabacEngine(const uint8_t* data, std::size_t size_bytes, std::size_t start_byte);

    int decision(CabacState& state) {
        const uint32_t lps_range = kRangeTabLPS[state >> 1][(range_ >> 6) & 3];
        range_ -= lps_range;
        const uint64_t scaled = uint64_t{range_} << scale_;
        // Masks, not conditionals: the compiler would branch on a bin that is as often
        // one as the other, and each misprediction costs more than the whole decision (the
        // same in bypass(), whose bins are signs and suffixes).
        const uint64_t mask = uint64_t{0} - static_cast<uint64_t>(value_ >= scaled);
        value_ -= scaled & mask;
        range_ ^= (range_ ^ lps_range) & static_cast<uint32_t>(mask);
        const int lps = static_cast<int>(mask & 1);
        const int bin = (state & 1) ^ lps;
        state = cabac_detail::kTransitions.next[lps][state];
        renormalise();
        return bin;
    }

    int bypass() {
        --scale_;
        const uint64_t scaled = uint64_t{range_} << scale_;
        const uint64_t mask = uint64_t{0} - static_cast<uint64_t>(value_ >= scaled);
        value_ -= scaled & mask;
        if (scale_ < kMinimumReadAhead) {
            refill();
        }
        return static_cast<int>(mask & 1);
    }

    int terminate() {
        range_ -= 2;
        if (value_ >= (uint64_t{range_} << scale_)) {
            return 1;
        }
        renormalise();
        return 0;
    }

    std::size_t bit_position() const { return 8 * next_ - static_cast<std::size_t>(scale_); }
    bool overrun() const { return bit_position() > 8 * size_; }

private:
    // More than the largest renormalisation (6 bits, after the smallest rangeTabLPS entry).
    static constexpr int kMinimumReadAhead = 8;

    void renormalise() {
        const int shift = __builtin_clz(range_) - 23;
        range_ <<= shift;
        scale_ -= shift;
        if (scale_ < kMinimumReadAhead) {
            refill();
        }
    }

    void refill() {
        value_ = (value_ << 32) | next_word();
        scale_ += 32;
    }

    // Inline and through a function of values: an engine whose address escapes into a call
    // must live in memory, and every bin would then store and reload its range, offset and
    // scale.
    uint32_t next_word() {
        const uint32_t word = big_endian_word(data_, size_, next_);
        next_ += 4;
        return word;
    }

    const uint8_t* data_;
    std::size_t size_;
    // Bytes loaded into value_ so far, counting the zeros past the end.
    std::size_t next_;
    uint64_t value_ = 0;
    int scale_ = 0;
    uint32_t range_ = 510;
};
