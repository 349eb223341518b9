#include "syntax/residual_block_cavlc.hpp"

#include <cstdlib>

#include "h264/cavlc_tables.hpp"
#include "syntax/syntax_error.hpp"

namespace {

// Longer prefixes than this code levels beyond any bit depth's range.
constexpr int kLongestLevelPrefix = 28;

// The leading zeros and the 1 after them, counted in one look at the next 32 bits; bits past
// the data read as zeros, so a prefix that runs off the end is too long.
int level_prefix(BitReader& reader) {
    const uint32_t window = reader.peek(32);
    const int zeros = window == 0 ? 32 : __builtin_clz(window);
    check_syntax(zeros <= kLongestLevelPrefix, "level_prefix too long");
    reader.skip(zeros + 1);
    return zeros;
}

// The levels, highest frequency first (levelVal).
void read_levels(BitReader& reader, int total_coeff, int trailing_ones, int32_t* values) {
    int suffix_length = total_coeff > 10 && trailing_ones < 3 ? 1 : 0;
    for (int i = 0; i < total_coeff; ++i) {
        if (i < trailing_ones) {
            values[i] = reader.flag() ? -1 : 1;
            continue;
        }
        const int prefix = level_prefix(reader);
        int level_code = (prefix < 15 ? prefix : 15) << suffix_length;
        int suffix_size = suffix_length;
        if (prefix == 14 && suffix_length == 0) {
            suffix_size = 4;
        } else if (prefix >= 15) {
            suffix_size = prefix - 3;
        }
        if (suffix_size > 0) {
            level_code += static_cast<int>(reader.read(suffix_size));
        }
        if (prefix >= 15 && suffix_length == 0) {
            level_code += 15;
        }
        if (prefix >= 16) {
            level_code += (1 << (prefix - 3)) - 4096;
        }
        if (i == trailing_ones && trailing_ones < 3) {
            level_code += 2;
        }
        values[i] = level_code % 2 == 0 ? (level_code + 2) >> 1 : (-level_code - 1) >> 1;
        if (suffix_length == 0) {
            suffix_length = 1;
        }
        if (std::abs(values[i]) > (3 << (suffix_length - 1)) && suffix_length < 6) {
            ++suffix_length;
        }
    }
}

}  // namespace

int residual_block_cavlc(BitReader& reader, int32_t* levels, int start, int end, int max_coeff, int nC) {
    const CoeffToken token = read_coeff_token(reader, nC);
    check_syntax(token.total_coeff >= 0 && token.total_coeff <= end - start + 1, "coeff_token not in its table");
    const int total_coeff = token.total_coeff;
    if (total_coeff == 0) {
        return 0;
    }
    int32_t values[64];
    read_levels(reader, total_coeff, token.trailing_ones, values);
    int zeros_left = 0;
    if (total_coeff < end - start + 1) {
        zeros_left = read_total_zeros(reader, total_coeff, max_coeff);
        check_syntax(zeros_left >= 0 && zeros_left <= end - start + 1 - total_coeff, "total_zeros out of range");
    }
    int runs[64];
    for (int i = 0; i < total_coeff - 1; ++i) {
        runs[i] = zeros_left > 0 ? read_run_before(reader, zeros_left) : 0;
        check_syntax(runs[i] >= 0 && runs[i] <= zeros_left, "run_before out of range");
        zeros_left -= runs[i];
    }
    runs[total_coeff - 1] = zeros_left;
    int position = -1;
    for (int i = total_coeff - 1; i >= 0; --i) {
        position += runs[i] + 1;
        levels[start + position] = values[i];
    }
    return total_coeff;
}
