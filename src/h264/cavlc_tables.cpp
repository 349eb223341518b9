#include "h264/cavlc_tables.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <utility>
#include <vector>

// Table 9-5: coeff_token by TrailingOnes and TotalCoeff.
const CoeffTokenCodes kCoeffTokenCodes[kCoeffTokenRows] = {
    {0,  0, {"1", "11", "1111", "0000 11", "01", "1"}},
    {0,  1, {"0001 01", "0010 11", "0011 11", "0000 00", "0001 11", "0001 111"}},
    {1,  1, {"01", "10", "1110", "0000 01", "1", "01"}},
    {0,  2, {"0000 0111", "0001 11", "0010 11", "0001 00", "0001 00", "0001 110"}},
    {1,  2, {"0001 00", "0011 1", "0111 1", "0001 01", "0001 10", "0001 101"}},
    {2,  2, {"001", "011", "1101", "0001 10", "001", "001"}},
    {0,  3, {"0000 0011 1", "0000 111", "0010 00", "0010 00", "0000 11", "0000 0011 1"}},
    {1,  3, {"0000 0110", "0010 10", "0110 0", "0010 01", "0000 011", "0001 100"}},
    {2,  3, {"0000 101", "0010 01", "0111 0", "0010 10", "0000 010", "0001 011"}},
    {3,  3, {"0001 1", "0101", "1100", "0010 11", "0001 01", "0000 1"}},
    {0,  4, {"0000 0001 11", "0000 0111", "0001 111", "0011 00", "0000 10", "0000 0011 0"}},
    {1,  4, {"0000 0011 0", "0001 10", "0101 0", "0011 01", "0000 0011", "0000 0010 1"}},
    {2,  4, {"0000 0101", "0001 01", "0101 1", "0011 10", "0000 0010", "0001 010"}},
    {3,  4, {"0000 11", "0100", "1011", "0011 11", "0000 000", "0000 01"}},
    {0,  5, {"0000 0000 111", "0000 0100", "0001 011", "0100 00", "", "0000 0001 11"}},
    {1,  5, {"0000 0001 10", "0000 110", "0100 0", "0100 01", "", "0000 0001 10"}},
    {2,  5, {"0000 0010 1", "0000 101", "0100 1", "0100 10", "", "0000 0010 0"}},
    {3,  5, {"0000 100", "0011 0", "1010", "0100 11", "", "0001 001"}},
    {0,  6, {"0000 0000 0111 1", "0000 0011 1", "0001 001", "0101 00", "", "0000 0000 111"}},
    {1,  6, {"0000 0000 110", "0000 0110", "0011 10", "0101 01", "", "0000 0000 110"}},
    {2,  6, {"0000 0001 01", "0000 0101", "0011 01", "0101 10", "", "0000 0001 01"}},
    {3,  6, {"0000 0100", "0010 00", "1001", "0101 11", "", "0001 000"}},
    {0,  7, {"0000 0000 0101 1", "0000 0001 111", "0001 000", "0110 00", "", "0000 0000 0111"}},
    {1,  7, {"0000 0000 0111 0", "0000 0011 0", "0010 10", "0110 01", "", "0000 0000 0110"}},
    {2,  7, {"0000 0000 101", "0000 0010 1", "0010 01", "0110 10", "", "0000 0000 101"}},
    {3,  7, {"0000 0010 0", "0001 00", "1000", "0110 11", "", "0000 0001 00"}},
    {0,  8, {"0000 0000 0100 0", "0000 0001 011", "0000 1111", "0111 00", "", "0000 0000 0011 1"}},
    {1,  8, {"0000 0000 0101 0", "0000 0001 110", "0001 110", "0111 01", "", "0000 0000 0101"}},
    {2,  8, {"0000 0000 0110 1", "0000 0001 101", "0001 101", "0111 10", "", "0000 0000 0100"}},
    {3,  8, {"0000 0001 00", "0000 100", "0110 1", "0111 11", "", "0000 0000 100"}},
    {0,  9, {"0000 0000 0011 11", "0000 0000 1111", "0000 1011", "1000 00", "", ""}},
    {1,  9, {"0000 0000 0011 10", "0000 0001 010", "0000 1110", "1000 01", "", ""}},
    {2,  9, {"0000 0000 0100 1", "0000 0001 001", "0001 010", "1000 10", "", ""}},
    {3,  9, {"0000 0000 100", "0000 0010 0", "0011 00", "1000 11", "", ""}},
    {0, 10, {"0000 0000 0010 11", "0000 0000 1011", "0000 0111 1", "1001 00", "", ""}},
    {1, 10, {"0000 0000 0010 10", "0000 0000 1110", "0000 1010", "1001 01", "", ""}},
    {2, 10, {"0000 0000 0011 01", "0000 0000 1101", "0000 1101", "1001 10", "", ""}},
    {3, 10, {"0000 0000 0110 0", "0000 0001 100", "0001 100", "1001 11", "", ""}},
    {0, 11, {"0000 0000 0001 111", "0000 0000 1000", "0000 0101 1", "1010 00", "", ""}},
    {1, 11, {"0000 0000 0001 110", "0000 0000 1010", "0000 0111 0", "1010 01", "", ""}},
    {2, 11, {"0000 0000 0010 01", "0000 0000 1001", "0000 1001", "1010 10", "", ""}},
    {3, 11, {"0000 0000 0011 00", "0000 0001 000", "0000 1100", "1010 11", "", ""}},
    {0, 12, {"0000 0000 0001 011", "0000 0000 0111 1", "0000 0100 0", "1011 00", "", ""}},
    {1, 12, {"0000 0000 0001 010", "0000 0000 0111 0", "0000 0101 0", "1011 01", "", ""}},
    {2, 12, {"0000 0000 0001 101", "0000 0000 0110 1", "0000 0110 1", "1011 10", "", ""}},
    {3, 12, {"0000 0000 0010 00", "0000 0000 1100", "0000 1000", "1011 11", "", ""}},
    {0, 13, {"0000 0000 0000 1111", "0000 0000 0101 1", "0000 0011 01", "1100 00", "", ""}},
    {1, 13, {"0000 0000 0000 001", "0000 0000 0101 0", "0000 0011 1", "1100 01", "", ""}},
    {2, 13, {"0000 0000 0001 001", "0000 0000 0100 1", "0000 0100 1", "1100 10", "", ""}},
    {3, 13, {"0000 0000 0001 100", "0000 0000 0110 0", "0000 0110 0", "1100 11", "", ""}},
    {0, 14, {"0000 0000 0000 1011", "0000 0000 0011 1", "0000 0010 01", "1101 00", "", ""}},
    {1, 14, {"0000 0000 0000 1110", "0000 0000 0010 11", "0000 0011 00", "1101 01", "", ""}},
    {2, 14, {"0000 0000 0000 1101", "0000 0000 0011 0", "0000 0010 11", "1101 10", "", ""}},
    {3, 14, {"0000 0000 0001 000", "0000 0000 0100 0", "0000 0010 10", "1101 11", "", ""}},
    {0, 15, {"0000 0000 0000 0111", "0000 0000 0010 01", "0000 0001 01", "1110 00", "", ""}},
    {1, 15, {"0000 0000 0000 1010", "0000 0000 0010 00", "0000 0010 00", "1110 01", "", ""}},
    {2, 15, {"0000 0000 0000 1001", "0000 0000 0010 10", "0000 0001 11", "1110 10", "", ""}},
    {3, 15, {"0000 0000 0000 1100", "0000 0000 0000 1", "0000 0001 10", "1110 11", "", ""}},
    {0, 16, {"0000 0000 0000 0100", "0000 0000 0001 11", "0000 0000 01", "1111 00", "", ""}},
    {1, 16, {"0000 0000 0000 0110", "0000 0000 0001 10", "0000 0001 00", "1111 01", "", ""}},
    {2, 16, {"0000 0000 0000 0101", "0000 0000 0001 01", "0000 0000 11", "1111 10", "", ""}},
    {3, 16, {"0000 0000 0000 1000", "0000 0000 0001 00", "0000 0000 10", "1111 11", "", ""}},
};

// Tables 9-7 and 9-8: total_zeros of 4x4 blocks, by tzVlcIndex 1..15.
const char* const kTotalZeros4x4Codes[15] = {
    "1 011 010 0011 0010 00011 00010 000011 000010 0000011 0000010 00000011 00000010 000000011 000000010 000000001",
    "111 110 101 100 011 0101 0100 0011 0010 00011 00010 000011 000010 000001 000000",
    "0101 111 110 101 0100 0011 100 011 0010 00011 00010 000001 00001 000000",
    "00011 111 0101 0100 110 101 100 0011 011 0010 00010 00001 00000",
    "0101 0100 0011 111 110 101 100 011 0010 00001 0001 00000",
    "000001 00001 111 110 101 100 011 010 0001 001 000000",
    "000001 00001 101 100 011 11 010 0001 001 000000",
    "000001 0001 00001 011 11 10 010 001 000000",
    "000001 000000 0001 11 10 001 01 00001",
    "00001 00000 001 11 10 01 0001",
    "0000 0001 001 010 1 011",
    "0000 0001 01 1 001",
    "000 001 1 01",
    "00 01 1",
    "0 1",
};

// Table 9-9 (a): total_zeros of chroma DC 2x2 blocks, by tzVlcIndex 1..3.
const char* const kTotalZerosChromaDc2x2Codes[3] = {
    "1 01 001 000",
    "1 01 00",
    "1 0",
};

// Table 9-9 (b): total_zeros of chroma DC 2x4 blocks, by tzVlcIndex 1..7.
const char* const kTotalZerosChromaDc2x4Codes[7] = {
    "1 010 011 0010 0011 0001 00001 00000",
    "000 01 001 100 101 110 111",
    "000 001 01 10 110 111",
    "110 00 01 10 111",
    "00 01 10 11",
    "00 01 1",
    "0 1",
};

// Table 9-10: run_before by zerosLeft 1..6 and > 6.
const char* const kRunBeforeCodes[7] = {
    "1 0",
    "1 01 00",
    "11 10 01 00",
    "11 10 01 001 000",
    "11 10 011 010 001 000",
    "11 000 001 011 010 101 100",
    "111 110 101 100 011 010 001 0001 00001 000001 0000001 00000001 000000001 0000000001 00000000001",
};

namespace {

// Table 9-4, ChromaArrayType 1 or 2: {Intra_4x4 and Intra_8x8, Inter} coded_block_pattern
// by codeNum.
constexpr uint8_t kCbpWithChroma[48][2] = {
    {47,  0}, {31, 16}, {15,  1}, { 0,  2}, {23,  4}, {27,  8}, {29, 32}, {30,  3},
    { 7,  5}, {11, 10}, {13, 12}, {14, 15}, {39, 47}, {43,  7}, {45, 11}, {46, 13},
    {16, 14}, { 3,  6}, { 5,  9}, {10, 31}, {12, 35}, {19, 37}, {21, 42}, {26, 44},
    {28, 33}, {35, 34}, {37, 36}, {42, 40}, {44, 39}, { 1, 43}, { 2, 45}, { 4, 46},
    { 8, 17}, {17, 18}, {18, 20}, {20, 24}, {24, 19}, { 6, 21}, { 9, 26}, {22, 28},
    {25, 23}, {32, 27}, {33, 29}, {34, 30}, {36, 22}, {40, 25}, {38, 38}, {41, 41},
};

// Table 9-4, ChromaArrayType 0 or 3.
constexpr uint8_t kCbpWithoutChroma[16][2] = {
    {15,  0}, { 0,  1}, { 7,  2}, {11,  4}, {13,  8}, {14,  3}, { 3,  5}, { 5, 10},
    {10, 12}, {12, 15}, { 1,  7}, { 2, 11}, { 4, 13}, { 8, 14}, { 6,  6}, { 9,  9},
};

struct Code {
    int length;
    uint32_t bits;
    int value;
};

// Decodes one prefix-free code with a single peek of its longest code's length. Codes are
// grouped by their count z of leading zeros; the bits after the first 1 index that group's
// table. A code of zeros only, 0^L, owns every window of L or more leading zeros.
class PrefixCodeDecoder {
public:
    explicit PrefixCodeDecoder(const std::vector<Code>& codes) {
        for (const Code& code : codes) {
            longest_ = std::max(longest_, code.length);
        }
        for (int zeros = 0; zeros <= longest_; ++zeros) {
            start_[zeros] = static_cast<uint16_t>(entries_.size());
            suffix_bits_[zeros] = suffix_bits(codes, zeros);
            entries_.resize(entries_.size() + (std::size_t{1} << suffix_bits_[zeros]), 0);
        }
        for (const Code& code : codes) {
            place(code);
        }
    }

    // The code's value, or -1 (nothing consumed) for a pattern that is no code.
    int decode(BitReader& reader) const {
        const uint32_t window = reader.peek(longest_) << (32 - longest_);
        const int zeros = window == 0 ? longest_ : std::min(__builtin_clz(window), longest_);
        const auto after_one = static_cast<uint32_t>(uint64_t{window} << (zeros + 1));
        const auto index = static_cast<uint32_t>((uint64_t{after_one} << suffix_bits_[zeros]) >> 32);
        const uint16_t entry = entries_[start_[zeros] + index];
        if (entry == 0) {
            return -1;
        }
        reader.skip(entry >> 8);
        return entry & 0xFF;
    }

private:
    static int leading_zeros(const Code& code) {
        int zeros = 0;
        while (zeros < code.length && ((code.bits >> (code.length - 1 - zeros)) & 1) == 0) {
            ++zeros;
        }
        return zeros;
    }

    static uint8_t suffix_bits(const std::vector<Code>& codes, int zeros) {
        int bits = 0;
        for (const Code& code : codes) {
            if (code.length > zeros && leading_zeros(code) == zeros) {
                bits = std::max(bits, code.length - zeros - 1);
            }
        }
        return static_cast<uint8_t>(bits);
    }

    void place(const Code& code) {
        const auto entry = static_cast<uint16_t>((code.length << 8) | code.value);
        const int zeros = leading_zeros(code);
        if (zeros == code.length) {
            for (int group = zeros; group <= longest_; ++group) {
                std::fill_n(entries_.begin() + start_[group], std::size_t{1} << suffix_bits_[group], entry);
            }
            return;
        }
        const int length = code.length - zeros - 1;
        const int spare = suffix_bits_[zeros] - length;
        const uint32_t suffix = code.bits & ((1u << length) - 1);
        std::fill_n(entries_.begin() + start_[zeros] + (suffix << spare), std::size_t{1} << spare, entry);
    }

    int longest_ = 0;
    std::array<uint16_t, 33> start_{};
    std::array<uint8_t, 33> suffix_bits_{};
    // (length << 8) | value; 0 where no code matches.
    std::vector<uint16_t> entries_;
};

Code parse_code(const std::string& text, int value) {
    Code code{0, 0, value};
    for (const char c : text) {
        if (c == '0' || c == '1') {
            code.bits = (code.bits << 1) | static_cast<uint32_t>(c - '0');
            ++code.length;
        }
    }
    return code;
}

std::vector<Code> parse_code_list(const char* list) {
    std::vector<Code> codes;
    std::string text(list);
    std::size_t begin = 0;
    while (begin < text.size()) {
        const std::size_t end = std::min(text.find(' ', begin), text.size());
        codes.push_back(parse_code(text.substr(begin, end - begin), static_cast<int>(codes.size())));
        begin = end + 1;
    }
    return codes;
}

template <std::size_t N>
std::vector<PrefixCodeDecoder> decoders_of(const char* const (&lists)[N]) {
    std::vector<PrefixCodeDecoder> decoders;
    for (const char* list : lists) {
        decoders.emplace_back(parse_code_list(list));
    }
    return decoders;
}

std::vector<PrefixCodeDecoder> coeff_token_decoders() {
    std::vector<PrefixCodeDecoder> decoders;
    for (int column = 0; column < 6; ++column) {
        std::vector<Code> codes;
        for (const CoeffTokenCodes& row : kCoeffTokenCodes) {
            if (row.code[column][0] != '\0') {
                codes.push_back(parse_code(row.code[column], row.total_coeff * 4 + row.trailing_ones));
            }
        }
        decoders.emplace_back(codes);
    }
    return decoders;
}

const std::vector<PrefixCodeDecoder> kCoeffTokenDecoders = coeff_token_decoders();
const std::vector<PrefixCodeDecoder> kTotalZeros4x4 = decoders_of(kTotalZeros4x4Codes);
const std::vector<PrefixCodeDecoder> kTotalZeros2x2 = decoders_of(kTotalZerosChromaDc2x2Codes);
const std::vector<PrefixCodeDecoder> kTotalZeros2x4 = decoders_of(kTotalZerosChromaDc2x4Codes);
const std::vector<PrefixCodeDecoder> kRunBefore = decoders_of(kRunBeforeCodes);

int coeff_token_column(int nC) {
    if (nC < 0) {
        return nC == -1 ? 4 : 5;
    }
    return nC < 2 ? 0 : nC < 4 ? 1 : nC < 8 ? 2 : 3;
}

}  // namespace

CoeffToken read_coeff_token(BitReader& reader, int nC) {
    const int value = kCoeffTokenDecoders[coeff_token_column(nC)].decode(reader);
    return value < 0 ? CoeffToken{-1, -1} : CoeffToken{value >> 2, value & 3};
}

int read_total_zeros(BitReader& reader, int tzVlcIndex, int maxNumCoeff) {
    const std::vector<PrefixCodeDecoder>& tables =
        maxNumCoeff == 4 ? kTotalZeros2x2 : maxNumCoeff == 8 ? kTotalZeros2x4 : kTotalZeros4x4;
    if (tzVlcIndex < 1 || tzVlcIndex > static_cast<int>(tables.size())) {
        return -1;
    }
    return tables[tzVlcIndex - 1].decode(reader);
}

int read_run_before(BitReader& reader, int zerosLeft) {
    if (zerosLeft < 1) {
        return -1;
    }
    return kRunBefore[std::min(zerosLeft, 7) - 1].decode(reader);
}

int cbp_from_code(uint32_t codeNum, bool intra, int chroma_array_type) {
    const int column = intra ? 0 : 1;
    if (chroma_array_type == 1 || chroma_array_type == 2) {
        return codeNum < 48 ? kCbpWithChroma[codeNum][column] : -1;
    }
    return codeNum < 16 ? kCbpWithoutChroma[codeNum][column] : -1;
}
