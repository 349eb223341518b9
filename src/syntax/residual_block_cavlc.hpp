#pragma once

#include <cstdint>

#include "h264/bit_reader.hpp"

// residual_block_cavlc(): reads one block's levels into levels[start..end] (the positions in
// scan order; the others are left as they are) and returns TotalCoeff(coeff_token). `nC` is
// the coeff_token table's selector (-1 and -2 for chroma DC of 4:2:0 and 4:2:2). SyntaxError
// where a code is not in its table or the levels do not fit the block.
int residual_block_cavlc(BitReader& reader, int32_t* levels, int start, int end, int max_coeff, int nC);
