#include "syntax/mb_types.hpp"

namespace {

constexpr uint8_t L0 = 1;
constexpr uint8_t L1 = 2;
constexpr uint8_t Bi = 3;

// Table 7-14, mb_type 1..21: the lists of the first and second partition, and the shape.
constexpr uint8_t kBPartitions[21][3] = {
    {L0, 0, 0},  {L1, 0, 0},  {Bi, 0, 0},  {L0, L0, 1}, {L0, L0, 2}, {L1, L1, 1}, {L1, L1, 2},
    {L0, L1, 1}, {L0, L1, 2}, {L1, L0, 1}, {L1, L0, 2}, {L0, Bi, 1}, {L0, Bi, 2}, {L1, Bi, 1},
    {L1, Bi, 2}, {Bi, L0, 1}, {Bi, L0, 2}, {Bi, L1, 1}, {Bi, L1, 2}, {Bi, Bi, 1}, {Bi, Bi, 2},
};

// Table 7-18, sub_mb_type 0..12: parts, width, height (4x4 blocks), lists.
constexpr SubMbTypeInfo kBSubTypes[13] = {
    {4, 1, 1, 0},  {1, 2, 2, L0}, {1, 2, 2, L1}, {1, 2, 2, Bi}, {2, 2, 1, L0}, {2, 1, 2, L0}, {2, 2, 1, L1},
    {2, 1, 2, L1}, {2, 2, 1, Bi}, {2, 1, 2, Bi}, {4, 1, 1, L0}, {4, 1, 1, L1}, {4, 1, 1, Bi},
};

// Table 7-17.
constexpr SubMbTypeInfo kPSubTypes[4] = {{1, 2, 2, L0}, {2, 2, 1, L0}, {2, 1, 2, L0}, {4, 1, 1, L0}};

}  // namespace

MbTypeInfo intra_mb_type(int mb_type) {
    if (mb_type == 0) {
        return {kINxN, 1, 0, {0, 0}, 0, 0, 0};
    }
    if (mb_type == 25) {
        return {kIPcm, 1, 0, {0, 0}, 0, 0, 0};
    }
    const int code = mb_type - 1;
    return {kI16x16, 1, 0, {0, 0}, static_cast<uint8_t>(code % 4), static_cast<uint8_t>((code / 4) % 3),
            static_cast<uint8_t>(mb_type >= 13 ? 15 : 0)};
}

MbTypeInfo p_mb_type(int mb_type) {
    switch (mb_type) {
        case 0:
            return {kInter, 1, 0, {L0, 0}, 0, 0, 0};
        case 1:
            return {kInter, 2, 1, {L0, L0}, 0, 0, 0};
        case 2:
            return {kInter, 2, 2, {L0, L0}, 0, 0, 0};
        default:
            return {kSub8x8, 4, 3, {L0, L0}, 0, 0, 0};
    }
}

MbTypeInfo b_mb_type(int mb_type) {
    if (mb_type == 0) {
        return {kBDirect, 1, 0, {0, 0}, 0, 0, 0};
    }
    if (mb_type == 22) {
        return {kSub8x8, 4, 3, {0, 0}, 0, 0, 0};
    }
    const uint8_t* row = kBPartitions[mb_type - 1];
    return {kInter, static_cast<uint8_t>(row[2] == 0 ? 1 : 2), row[2], {row[0], row[1]}, 0, 0, 0};
}

SubMbTypeInfo p_sub_mb_type(int sub_mb_type) { return kPSubTypes[sub_mb_type]; }

SubMbTypeInfo b_sub_mb_type(int sub_mb_type) { return kBSubTypes[sub_mb_type]; }
