#include <algorithm>

#include "syntax/cabac_elements.hpp"
#include "syntax/syntax_error.hpp"

namespace {

// coeff_abs_level_minus1 is a truncated unary prefix of at most 14 bins (uCoff), then EG0.
constexpr int kLevelPrefixBins = 14;

}  // namespace

// residual_block_cabac(): coded_block_flag, the significance map, then the levels from the
// last significant one back to the first (9.3.3.1.1.9, 9.3.3.1.3). Most of a slice's bins
// are read here, by a copy of the engine local to the block: the context states are bytes,
// whose stores the compiler must otherwise assume to change the engine's own fields.
int CabacElements::residual_block(int32_t* levels, int start, int end, int max_coeff, int cat, int cbf_inc,
                                  bool field, bool always_flag, int chroma_dc_blocks) {
    const ResidualContextBase& base = bases_[cat];
    if ((max_coeff != 64 || always_flag) && !decide(base.coded_block_flag + cbf_inc)) {
        return 0;
    }
    CabacEngine engine = engine_;
    uint8_t* const states = states_;
    const auto decide = [&](int ctx) { return engine.decision(states[ctx]); };
    const bool block_8x8 = max_coeff == 64;
    const int significant = base.significant_coeff_flag[field ? 1 : 0];
    const int last = base.last_significant_coeff_flag[field ? 1 : 0];
    int positions[64];
    int count = 0;
    bool ended = false;
    for (int i = start; i < end && !ended; ++i) {
        int inc = i;
        int last_inc = i;
        if (block_8x8) {
            inc = kSignificantCoeffFlagInc8x8[field ? 1 : 0][i];
            last_inc = kLastSignificantCoeffFlagInc8x8[i];
        } else if (cat == 3) {
            inc = last_inc = std::min(i / chroma_dc_blocks, 2);
        }
        if (decide(significant + inc)) {
            positions[count++] = i;
            ended = decide(last + last_inc) != 0;
        }
    }
    if (!ended) {
        positions[count++] = end;
    }
    const int levels_base = base.coeff_abs_level_minus1;
    const int greater_cap = 4 - (cat == 3 ? 1 : 0);
    int greater_than_1 = 0;
    int equal_to_1 = 0;
    for (int k = count - 1; k >= 0; --k) {
        int magnitude = 1;
        if (decide(levels_base + (greater_than_1 != 0 ? 0 : std::min(4, 1 + equal_to_1)))) {
            const int ctx = levels_base + 5 + std::min(greater_cap, greater_than_1);
            int prefix = 1;
            while (prefix < kLevelPrefixBins && decide(ctx)) {
                ++prefix;
            }
            magnitude += prefix;
            if (prefix == kLevelPrefixBins) {
                engine_ = engine;
                magnitude += exp_golomb_bypass(0);
                engine = engine_;
            }
        }
        check_syntax(!engine.overrun(), "levels past the slice's end");
        greater_than_1 += magnitude > 1 ? 1 : 0;
        equal_to_1 += magnitude == 1 ? 1 : 0;
        levels[positions[k]] = engine.bypass() ? -magnitude : magnitude;
    }
    engine_ = engine;
    return count;
}
