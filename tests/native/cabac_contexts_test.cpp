// CABAC context initialisation and the residual context tables: states worked out here from
// the formula of 9.3.1.1 and (m, n) pairs read from Tables 9-12 to 9-33; the residual
// elements of all 14 block categories tile their ctxIdx ranges exactly; Table 9-43 spot
// checks.
// Usage: cabac_contexts_test

#include <algorithm>
#include <cstdint>
#include <vector>

#include "check.hpp"
#include "h264/cabac_contexts.hpp"

namespace {

// 9.3.1.1, written out with a floor division rather than a shift.
int packed_state(int m, int n, int qp) {
    const int clipped = std::min(std::max(qp, 0), 51);
    const int product = m * clipped;
    const int floored = product >= 0 ? product / 16 : -((-product + 15) / 16);
    const int pre = std::min(std::max(floored + n, 1), 126);
    return pre <= 63 ? 2 * (63 - pre) : 2 * (pre - 64) + 1;
}

struct Pick {
    int ctx;
    int column;  // 0 for I/SI, 1 + cabac_init_idc otherwise
    int m;
    int n;
};

// One ctxIdx from each range of the tables, each in one of the four columns.
constexpr Pick kPicks[] = {
    {0, 0, 20, -15},   {3, 0, 20, -15},    {11, 1, 23, 33},   {27, 2, 57, 2},    {40, 3, -11, 89},
    {54, 1, -7, 67},   {64, 0, -9, 83},    {73, 2, -39, 127}, {85, 0, -17, 123}, {105, 1, -2, 85},
    {166, 3, 4, 39},   {227, 0, -3, 71},   {277, 2, -21, 126}, {338, 1, 14, 11}, {399, 3, 21, 33},
    {402, 0, -17, 120}, {436, 2, -3, 81},  {460, 1, -7, 92},  {484, 3, -4, 86},  {572, 0, 24, 0},
    {660, 2, -5, 85},  {776, 1, -13, 106}, {864, 3, 17, -13}, {952, 0, -3, 71},  {1012, 2, -2, 73},
    {1023, 3, -30, 127},
};

std::vector<CabacState> initialised(int column, int qp) {
    std::vector<CabacState> states(kCabacContexts);
    init_cabac_contexts(states.data(), column == 0, column - 1, qp);
    return states;
}

void states_follow_the_formula_and_the_tables() {
    // Worked by hand: ctxIdx 0 at QP 26: (20 * 26) >> 4 = 32, - 15 = 17, pStateIdx 46, MPS 0.
    CHECK_EQ(int(initialised(0, 26)[0]), 2 * 46);
    // ctxIdx 6, I: (-28 * 22) >> 4 = -39 (a floor, not a truncation), + 127 = 88: 24, MPS 1.
    CHECK_EQ(int(initialised(0, 22)[6]), 2 * 24 + 1);
    // ctxIdx 60 (mb_qp_delta) is (0, 41) in every column: pStateIdx 22 at any QP.
    CHECK_EQ(int(initialised(2, 40)[60]), 2 * 22);
    for (const int qp : {-12, 0, 17, 26, 39, 51, 57}) {
        for (const Pick& pick : kPicks) {
            CHECK_EQ(int(initialised(pick.column, qp)[pick.ctx]), packed_state(pick.m, pick.n, qp));
        }
        // end_of_slice_flag: pStateIdx 63, valMPS 0.
        CHECK_EQ(int(initialised(1, qp)[276]), 126);
    }
}

// The ctxIdxInc ranges of 9.3.3.1.3: levelListIdx up to maxNumCoeff - 2 for significance
// (three values for chroma DC), 9 values for last in 8x8 blocks, 10 for the level (9 for
// chroma DC), 4 coded_block_flag contexts.
int significance_contexts(int cat) {
    if (cat == 5 || cat == 9 || cat == 13) {
        return 15;
    }
    if (cat == 3) {
        return 3;
    }
    const bool ac = cat == 1 || cat == 4 || cat == 7 || cat == 11;
    return ac ? 14 : 15;
}

void residual_contexts_tile_their_ranges() {
    std::vector<int> uses(kCabacContexts, 0);
    auto use = [&uses](int first, int count) {
        for (int ctx = first; ctx < first + count; ++ctx) {
            ++uses.at(static_cast<std::size_t>(ctx));
        }
    };
    for (int cat = 0; cat < kBlockCategories; ++cat) {
        const ResidualContextBase base = residual_context_base(cat);
        const bool eight = cat == 5 || cat == 9 || cat == 13;
        use(base.coded_block_flag, 4);
        for (int field = 0; field < 2; ++field) {
            use(base.significant_coeff_flag[field], significance_contexts(cat));
            use(base.last_significant_coeff_flag[field], eight ? 9 : significance_contexts(cat));
        }
        use(base.coeff_abs_level_minus1, cat == 3 ? 9 : 10);
    }
    for (int ctx = 0; ctx < kCabacContexts; ++ctx) {
        const bool residual = ctx >= 85 && ctx != 276 && (ctx < 399 || ctx > 401);
        if (uses[static_cast<std::size_t>(ctx)] != (residual ? 1 : 0)) {
            CHECK_EQ(ctx, -1);
        }
    }
    CHECK_EQ(residual_context_base(4).significant_coeff_flag[1], 277 + 47);
    CHECK_EQ(residual_context_base(12).coeff_abs_level_minus1, 982 + 20);
}

void table_9_43_spot_checks() {
    // levelListIdx 0, 5, 22, 62 and 14, 45.
    CHECK_EQ(int(kSignificantCoeffFlagInc8x8[0][0]), 0);
    CHECK_EQ(int(kSignificantCoeffFlagInc8x8[0][5]), 5);
    CHECK_EQ(int(kSignificantCoeffFlagInc8x8[0][22]), 6);
    CHECK_EQ(int(kSignificantCoeffFlagInc8x8[0][62]), 12);
    CHECK_EQ(int(kSignificantCoeffFlagInc8x8[1][14]), 4);
    CHECK_EQ(int(kSignificantCoeffFlagInc8x8[1][45]), 13);
    CHECK_EQ(int(kLastSignificantCoeffFlagInc8x8[0]), 0);
    CHECK_EQ(int(kLastSignificantCoeffFlagInc8x8[16]), 2);
    CHECK_EQ(int(kLastSignificantCoeffFlagInc8x8[62]), 8);
    for (int i = 0; i < 63; ++i) {
        CHECK(kSignificantCoeffFlagInc8x8[0][i] < 15 && kSignificantCoeffFlagInc8x8[1][i] < 15);
        CHECK(kLastSignificantCoeffFlagInc8x8[i] < 9);
        CHECK(i == 0 || kLastSignificantCoeffFlagInc8x8[i] >= kLastSignificantCoeffFlagInc8x8[i - 1]);
    }
}

}  // namespace

int main() {
    states_follow_the_formula_and_the_tables();
    residual_contexts_tile_their_ranges();
    table_9_43_spot_checks();
    return finish("cabac_contexts_test");
}
