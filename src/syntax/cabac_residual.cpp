#include <algorithm>

#include "syntax/cabac_elements.hpp"
#include "syntax/syntax_error.hpp"

namespace {

// coeff_abs_level_minus1 is a truncated unary prefix of at most 14 bins (uCoff), then EG0.
constexpr int kLevelPrefixBins = 14;

// ctxIdxInc of significant_coeff_flag and last_significant_coeff_flag by levelListIdx
// (9.3.3.1.3): the index itself in blocks of up to 16 levels; for chroma DC
// Min(levelListIdx / NumC8x8, 2), NumC8x8 1 (4:2:0) or 2 (4:2:2).
constexpr uint8_t kIncByIndex[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
constexpr uint8_t kChromaDcInc[2][8] = {{0, 1, 2, 2, 2, 2, 2, 2}, {0, 0, 1, 1, 2, 2, 2, 2}};

}  // namespace

// residual_block_cabac(): coded_block_flag, the significance map, then the levels from the
// last significant one back to the first (9.3.3.1.1.9, 9.3.3.1.3). Most of a slice's bins
// are read here, by a copy of the engine local to the block: the levels are int32_t, whose
// stores the compiler must otherwise assume to change the engine's own fields.
int CabacElements::residual_block(int32_t* levels, int start, int end, int max_coeff, int cat, int cbf_inc,
                                  bool field, bool always_flag, int chroma_dc_blocks) {
    const ResidualContextBase& base = bases_[cat];
    if ((max_coeff != 64 || always_flag) && !decide(base.coded_block_flag + cbf_inc)) {
        return 0;
    }
    CabacEngine engine = engine_;
    CabacState* const states = states_;
    const auto decide = [&](int ctx) { return engine.decision(states[ctx]); };
    const uint8_t* significant_inc = kIncByIndex;
    const uint8_t* last_inc = kIncByIndex;
    if (max_coeff == 64) {
        significant_inc = kSignificantCoeffFlagInc8x8[field ? 1 : 0];
        last_inc = kLastSignificantCoeffFlagInc8x8;
    } else if (cat == 3) {
        significant_inc = last_inc = kChromaDcInc[chroma_dc_blocks == 2 ? 1 : 0];
    }
    CabacState* const significant = states + base.significant_coeff_flag[field ? 1 : 0];
    CabacState* const last = states + base.last_significant_coeff_flag[field ? 1 : 0];
    int positions[64];
    int count = 0;
    int i = start;
    for (; i < end; ++i) {
        if (engine.decision(significant[significant_inc[i]])) {
            positions[count++] = i;
            if (engine.decision(last[last_inc[i]])) {
                break;
            }
        }
    }
    if (i == end) {
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
