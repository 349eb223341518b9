// The CAVLC code tables: every table a prefix-free code whose Kraft sum is at most 1, every
// codeword of every table decoded to its own value at every alignment, and entries worked
// out by hand from the Recommendation decoded from bit strings written here.
// Usage: cavlc_tables_test

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "bit_strings.hpp"
#include "check.hpp"
#include "h264/cavlc_tables.hpp"

namespace {

struct TableCode {
    std::string bits;
    int value;
};

using Decode = std::function<int(BitReader&)>;

std::vector<TableCode> codes_of_list(const char* list) {
    std::vector<TableCode> codes;
    std::string text(list);
    std::size_t begin = 0;
    while (begin < text.size()) {
        const std::size_t end = std::min(text.find(' ', begin), text.size());
        codes.push_back({text.substr(begin, end - begin), static_cast<int>(codes.size())});
        begin = end + 1;
    }
    return codes;
}

void check_prefix_free_and_kraft(const std::vector<TableCode>& codes, const std::string& table) {
    double kraft = 0;
    for (const TableCode& a : codes) {
        kraft += 1.0 / static_cast<double>(1u << a.bits.size());
        for (const TableCode& b : codes) {
            if (&a != &b && b.bits.compare(0, a.bits.size(), a.bits) == 0) {
                CHECK_EQ(table + " " + b.bits + " starts with " + a.bits, std::string());
            }
        }
    }
    CHECK(kraft <= 1.0);
}

// Each codeword after `offset` bits, followed by ones and then by zeros: what follows a
// code must not change its value or length.
void check_every_codeword_decodes(const std::vector<TableCode>& codes, const Decode& decode) {
    for (const TableCode& code : codes) {
        for (const char* after : {"1111 1111 1111 1111", "0000 0000 0000 0000"}) {
            for (int offset = 0; offset < 8; offset += 3) {
                const auto bytes = bytes_of_bits(std::string(static_cast<std::size_t>(offset), '1') + code.bits + after);
                BitReader reader(bytes.data(), bytes.size());
                reader.skip(offset);
                CHECK_EQ(decode(reader), code.value);
                CHECK_EQ(reader.position(), offset + code.bits.size());
            }
        }
    }
}

void check_table(const std::vector<TableCode>& codes, const Decode& decode, const std::string& name) {
    check_prefix_free_and_kraft(codes, name);
    check_every_codeword_decodes(codes, decode);
}

Decode coeff_token_decoder(int nC) {
    return [nC](BitReader& reader) {
        const CoeffToken token = read_coeff_token(reader, nC);
        return token.valid() ? token.total_coeff * 4 + token.trailing_ones : -1;
    };
}

void every_table_is_a_prefix_code_that_decodes() {
    const int nC_of_column[6] = {0, 2, 4, 8, -1, -2};
    int rows_per_column[6] = {};
    for (int column = 0; column < 6; ++column) {
        std::vector<TableCode> codes;
        for (const CoeffTokenCodes& row : kCoeffTokenCodes) {
            if (row.code[column][0] != '\0') {
                codes.push_back({bits_only(row.code[column]), row.total_coeff * 4 + row.trailing_ones});
            }
        }
        rows_per_column[column] = static_cast<int>(codes.size());
        check_table(codes, coeff_token_decoder(nC_of_column[column]), "coeff_token column " + std::to_string(column));
    }
    CHECK_EQ((std::vector<int>(rows_per_column, rows_per_column + 6)), (std::vector<int>{62, 62, 62, 62, 14, 30}));
    for (int index = 1; index <= 15; ++index) {
        check_table(codes_of_list(kTotalZeros4x4Codes[index - 1]),
                    [index](BitReader& r) { return read_total_zeros(r, index, 16); }, "total_zeros 4x4");
        CHECK_EQ(codes_of_list(kTotalZeros4x4Codes[index - 1]).size(), std::size_t(17 - index));
    }
    for (int index = 1; index <= 3; ++index) {
        check_table(codes_of_list(kTotalZerosChromaDc2x2Codes[index - 1]),
                    [index](BitReader& r) { return read_total_zeros(r, index, 4); }, "total_zeros 2x2");
    }
    for (int index = 1; index <= 7; ++index) {
        check_table(codes_of_list(kTotalZerosChromaDc2x4Codes[index - 1]),
                    [index](BitReader& r) { return read_total_zeros(r, index, 8); }, "total_zeros 2x4");
    }
    for (int zeros_left = 1; zeros_left <= 7; ++zeros_left) {
        check_table(codes_of_list(kRunBeforeCodes[zeros_left - 1]),
                    [zeros_left](BitReader& r) { return read_run_before(r, zeros_left); }, "run_before");
    }
}

int decoded(const Decode& decode, const std::string& bits) {
    const auto bytes = bytes_of_bits(bits, '1', 2);
    BitReader reader(bytes.data(), bytes.size());
    const int value = decode(reader);
    return reader.position() == bits_only(bits).size() ? value : -2;
}

// Written here from the Recommendation's tables, not from the tables under test.
void hand_transcribed_entries_decode() {
    // coeff_token {TrailingOnes, TotalCoeff} as 4 * TotalCoeff + TrailingOnes.
    CHECK_EQ(decoded(coeff_token_decoder(0), "1"), 0);
    CHECK_EQ(decoded(coeff_token_decoder(1), "0001 01"), 4 * 1 + 0);
    CHECK_EQ(decoded(coeff_token_decoder(0), "0000 100"), 4 * 5 + 3);
    CHECK_EQ(decoded(coeff_token_decoder(0), "0000 0001 10"), 4 * 5 + 1);
    CHECK_EQ(decoded(coeff_token_decoder(0), "0000 0000 0000 1000"), 4 * 16 + 3);
    CHECK_EQ(decoded(coeff_token_decoder(3), "11"), 0);
    CHECK_EQ(decoded(coeff_token_decoder(2), "0010 11"), 4 * 1 + 0);
    CHECK_EQ(decoded(coeff_token_decoder(7), "1111"), 0);
    CHECK_EQ(decoded(coeff_token_decoder(5), "1100"), 4 * 3 + 3);
    // 8 <= nC: six bits, 0000 11 for no coefficient, else TotalCoeff - 1 then TrailingOnes.
    CHECK_EQ(decoded(coeff_token_decoder(8), "0000 11"), 0);
    CHECK_EQ(decoded(coeff_token_decoder(16), "0000 00"), 4 * 1 + 0);
    CHECK_EQ(decoded(coeff_token_decoder(9), "1111 11"), 4 * 16 + 3);
    CHECK_EQ(decoded(coeff_token_decoder(-1), "01"), 0);
    CHECK_EQ(decoded(coeff_token_decoder(-1), "1"), 4 * 1 + 1);
    CHECK_EQ(decoded(coeff_token_decoder(-1), "0000 000"), 4 * 4 + 3);
    CHECK_EQ(decoded(coeff_token_decoder(-2), "1"), 0);
    CHECK_EQ(decoded(coeff_token_decoder(-2), "0000 1"), 4 * 3 + 3);
    // A pattern that is no code consumes nothing.
    const auto no_code = bytes_of_bits("0000 0000 0000 0001 1111");
    BitReader reader(no_code.data(), no_code.size());
    CHECK(!read_coeff_token(reader, 0).valid());
    CHECK_EQ(reader.position(), 0u);
    // total_zeros and run_before of the worked example of a 4x4 block with levels
    // 0 3 0 1 -1 -1 0 1 in zig-zag order: total_zeros 3 of 5 coefficients, runs 1 0 0 1.
    CHECK_EQ(decoded([](BitReader& r) { return read_total_zeros(r, 5, 16); }, "111"), 3);
    CHECK_EQ(decoded([](BitReader& r) { return read_total_zeros(r, 5, 15); }, "0011"), 2);
    CHECK_EQ(decoded([](BitReader& r) { return read_total_zeros(r, 1, 16); }, "0000 0000 1"), 15);
    CHECK_EQ(decoded([](BitReader& r) { return read_total_zeros(r, 15, 16); }, "1"), 1);
    CHECK_EQ(decoded([](BitReader& r) { return read_total_zeros(r, 1, 4); }, "000"), 3);
    CHECK_EQ(decoded([](BitReader& r) { return read_total_zeros(r, 1, 8); }, "0000 0"), 7);
    CHECK_EQ(decoded([](BitReader& r) { return read_total_zeros(r, 4, 8); }, "110"), 0);
    CHECK_EQ(decoded([](BitReader& r) { return read_run_before(r, 3); }, "10"), 1);
    CHECK_EQ(decoded([](BitReader& r) { return read_run_before(r, 2); }, "01"), 1);
    CHECK_EQ(decoded([](BitReader& r) { return read_run_before(r, 1); }, "1"), 0);
    CHECK_EQ(decoded([](BitReader& r) { return read_run_before(r, 6); }, "000"), 1);
    CHECK_EQ(decoded([](BitReader& r) { return read_run_before(r, 14); }, "0000 0000 001"), 14);
}

void coded_block_pattern_columns() {
    // Table 9-4: codeNum 0 is 47 intra and 0 inter with chroma, 15 and 0 without.
    CHECK_EQ(cbp_from_code(0, true, 1), 47);
    CHECK_EQ(cbp_from_code(0, false, 2), 0);
    CHECK_EQ(cbp_from_code(1, false, 1), 16);
    CHECK_EQ(cbp_from_code(3, true, 1), 0);
    CHECK_EQ(cbp_from_code(47, true, 1), 41);
    CHECK_EQ(cbp_from_code(0, true, 0), 15);
    CHECK_EQ(cbp_from_code(1, true, 3), 0);
    CHECK_EQ(cbp_from_code(15, false, 3), 9);
    CHECK_EQ(cbp_from_code(48, true, 1), -1);
    CHECK_EQ(cbp_from_code(16, false, 0), -1);
    for (const int chroma_array_type : {0, 1}) {
        const uint32_t codes = chroma_array_type ? 48 : 16;
        for (const bool intra : {false, true}) {
            std::vector<int> seen(codes, 0);
            for (uint32_t code = 0; code < codes; ++code) {
                ++seen.at(static_cast<std::size_t>(cbp_from_code(code, intra, chroma_array_type)));
            }
            CHECK_EQ(seen, std::vector<int>(codes, 1));
        }
    }
}

}  // namespace

int main() {
    every_table_is_a_prefix_code_that_decodes();
    hand_transcribed_entries_decode();
    coded_block_pattern_columns();
    return finish("cavlc_tables_test");
}
