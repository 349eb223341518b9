#pragma once

#include <cstdint>

// The (m, n) pairs of Tables 9-12 to 9-33, for init_cabac_contexts() and its tests.

struct ContextInit {
    int8_t m;
    int8_t n;
};

// [0] for I and SI slices, [1 + cabac_init_idc] for the others.
using ContextInitRow = ContextInit[4];

// ctxIdx 0 to 459 in the first table, 460 to 1023 in the second.
constexpr int kContextInitSplit = 460;
extern const ContextInitRow kContextInitLow[kContextInitSplit];
extern const ContextInitRow kContextInitHigh[1024 - kContextInitSplit];
