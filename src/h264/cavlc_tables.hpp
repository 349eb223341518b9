#pragma once

#include <cstdint>

#include "h264/bit_reader.hpp"

// The variable-length codes of CAVLC residual blocks (9.2) and the coded_block_pattern
// mapping of me(v) (9.1.2), each decoded by one peek and table lookups: the bits after the
// leading zeros of a code index a small table per count of leading zeros.
//
// A bit pattern that is no code of the table reads as the invalid value below and
// consumes nothing; the caller stops the slice there.

struct CoeffToken {
    int total_coeff;
    int trailing_ones;
    bool valid() const { return total_coeff >= 0; }
};

// coeff_token (Table 9-5) for the nC of 9.2.1: nC >= 0 from the neighbouring blocks,
// -1 for chroma DC of 4:2:0, -2 for chroma DC of 4:2:2. {-1, -1} when invalid.
CoeffToken read_coeff_token(BitReader& reader, int nC);

// total_zeros for tzVlcIndex = TotalCoeff(coeff_token): maxNumCoeff 4 reads Table 9-9a
// (chroma DC 2x2), 8 reads Table 9-9b (chroma DC 2x4), any other the 4x4 tables 9-7 and
// 9-8. -1 when invalid or tzVlcIndex is out of the table's range.
int read_total_zeros(BitReader& reader, int tzVlcIndex, int maxNumCoeff);

// run_before (Table 9-10) for zerosLeft > 0; -1 when invalid.
int read_run_before(BitReader& reader, int zerosLeft);

// coded_block_pattern of codeNum (Table 9-4): the Intra_4x4/Intra_8x8 column when `intra`,
// otherwise the Inter column; ChromaArrayType 1 and 2 have 48 codes, 0 and 3 have 16.
// -1 for a codeNum past the table.
int cbp_from_code(uint32_t codeNum, bool intra, int chroma_array_type);

// The code tables as the Recommendation prints them, for the decoders above and for the
// tests that check them. Codes are strings of '0' and '1', spaces ignored, "" where the
// column has no code.
struct CoeffTokenCodes {
    int trailing_ones;
    int total_coeff;
    // Columns: 0 <= nC < 2, 2 <= nC < 4, 4 <= nC < 8, 8 <= nC, nC == -1, nC == -2.
    const char* code[6];
};
constexpr int kCoeffTokenRows = 62;
extern const CoeffTokenCodes kCoeffTokenCodes[kCoeffTokenRows];

// One string per tzVlcIndex (from 1) or zerosLeft (from 1; the last is zerosLeft > 6): the
// codes of value 0, 1, 2, ... separated by spaces.
extern const char* const kTotalZeros4x4Codes[15];
extern const char* const kTotalZerosChromaDc2x2Codes[3];
extern const char* const kTotalZerosChromaDc2x4Codes[7];
extern const char* const kRunBeforeCodes[7];
