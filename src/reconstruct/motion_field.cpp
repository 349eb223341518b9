#include "reconstruct/motion_field.hpp"

#include <algorithm>
#include <cstring>
#include <optional>

#include "frame/mb_type_map.hpp"
#include "reconstruct/direct_motion.hpp"
#include "reconstruct/field_pictures.hpp"
#include "reconstruct/macroblock_rows.hpp"
#include "syntax/mb_types.hpp"
#include "syntax/slice_syntax_header.hpp"

namespace {

// The motion of a neighbouring partition (8.4.1.3.2): `available` false outside the picture
// or the slice and where not yet decoded; an intra neighbour is available with ref_idx -1.
struct Neighbour {
    bool available = false;
    int ref_idx = -1;
    int mv[2] = {0, 0};
};

enum class Shape { Other, Upper16x8, Lower16x8, Left8x16, Right8x16 };

int median(int a, int b, int c) { return std::max(std::min(a, b), std::min(std::max(a, b), c)); }

// The 4x4 blocks of a macroblock in decoding order (6.4.3), by row and column.
constexpr uint8_t kBlockOrder[4][4] = {{0, 1, 4, 5}, {2, 3, 6, 7}, {8, 9, 12, 13}, {10, 11, 14, 15}};

// The 4x4 block holding sample (x, y) of a macroblock (x, y in 0..15), in decoding order.
int block_order(int x, int y) { return kBlockOrder[(y >> 2) & 3][(x >> 2) & 3]; }

class Motion {
public:
    Motion(const FrameSyntax& syntax, const std::vector<SliceLists>& lists, const ColocatedPicture* colocated,
           MotionRecord* field)
        : syntax_(syntax), lists_(lists), colocated_(colocated), field_(field), cols_(syntax.coded_cols),
          mbaff_(is_mbaff_frame(syntax)) {}

    void macroblock(int mb_x, int mb_y) {
        mb_x_ = mb_x;
        mb_y_ = mb_y;
        mb_ = &syntax_.coded_records[static_cast<std::size_t>(mb_y) * cols_ + mb_x];
        rows_ = MacroblockRows(mb_y, mbaff_, *mb_);
        b_slice_ = mb_->slice >= 0 && syntax_.slices[static_cast<std::size_t>(mb_->slice)].kind == kSliceB;
        const bool listed = mb_->slice >= 0 && static_cast<std::size_t>(mb_->slice) < lists_.size();
        for (int list = 0; list < 2; ++list) {
            names_[list] = listed ? &lists_[static_cast<std::size_t>(mb_->slice)][list] : nullptr;
        }
        index_shift_ = mbaff_ && mb_->interlaced ? 1 : 0;
        decoded_ = 0;
        spatial_ready_ = false;
        // Every block is written here first: the field may hold an earlier picture's motion.
        MotionRecord* const origin = &at(4 * mb_x, 4 * mb_y);
        const std::size_t row = 4 * static_cast<std::size_t>(cols_);
        for (std::size_t y = 0; y < 4; ++y) {
            std::fill_n(origin + y * row, 4, MotionRecord{});
        }
        const auto type = static_cast<MbType>(mb_->type);
        if (type == MbType::Skip) {
            skip();
        } else if (type == MbType::DirectSkip || type == MbType::Direct) {
            for (int sub = 0; sub < 4; ++sub) {
                direct(8 * (sub % 2), 8 * (sub / 2));
            }
        } else if (type == MbType::L0 || type == MbType::L1 || type == MbType::Bi) {
            partitions();
        }
    }

private:
    Neighbour neighbour(int x, int y, int list) const {
        const bool inside = x >= 0 && y >= 0 && x < 16;
        const BesideBlock beside = inside   ? BesideBlock{0, 4 * mb_x_ + x / 4, 4 * mb_y_ + y / 4}
                                   : mbaff_ ? block_beside(syntax_, mbaff_, mb_x_, rows_, x, y)
                                            : block_beside_in_raster(cols_, mb_x_, mb_y_, x, y);
        Neighbour n;
        const MbSyntaxRecord& other = inside ? *mb_ : syntax_.coded_records[static_cast<std::size_t>(beside.cell)];
        if (beside.cell < 0 || !other.parsed || other.slice != mb_->slice ||
            (inside && !(decoded_ & (1u << block_order(x, y))))) {
            return n;
        }
        const MotionRecord& block = at(beside.block_x, beside.block_y);
        n.available = true;
        n.ref_idx = block.ref_idx[list];
        n.mv[0] = block.mv[list][0];
        n.mv[1] = block.mv[list][1];
        // 8.4.1.3.1: a frame neighbour of a field macroblock in field units and field
        // references, a field neighbour of a frame macroblock in frame units.
        if (mbaff_ && other.interlaced != mb_->interlaced && n.ref_idx >= 0) {
            n.ref_idx = other.interlaced ? n.ref_idx >> 1 : n.ref_idx * 2;
            n.mv[1] = other.interlaced ? n.mv[1] * 2 : n.mv[1] / 2;
        }
        return n;
    }

    // 8.4.1.3.2: the partitions A, B and C beside a partition at (x, y) `width` wide, D for a
    // C not available.
    struct Beside {
        Neighbour a;
        Neighbour b;
        Neighbour c;
    };
    Beside beside(int x, int y, int width, int list) const {
        Beside n{neighbour(x - 1, y, list), neighbour(x, y - 1, list), neighbour(x + width, y - 1, list)};
        if (!n.c.available) {
            n.c = neighbour(x - 1, y - 1, list);
        }
        return n;
    }

    // 8.4.1.3 for list `list`: the neighbours' vectors of that list.
    void predict(int x, int y, int width, int list, int ref_idx, Shape shape, int* mvp) const {
        predict_from(beside(x, y, width, list), ref_idx, shape, mvp);
    }

    void predict_from(Beside n, int ref_idx, Shape shape, int* mvp) const {
        Neighbour& a = n.a;
        Neighbour& b = n.b;
        Neighbour& c = n.c;
        const Neighbour* directional = shape == Shape::Upper16x8   ? &b
                                       : shape == Shape::Lower16x8 ? &a
                                       : shape == Shape::Left8x16  ? &a
                                       : shape == Shape::Right8x16 ? &c
                                                                   : nullptr;
        if (directional != nullptr && directional->ref_idx == ref_idx) {
            std::copy_n(directional->mv, 2, mvp);
            return;
        }
        if (!b.available && !c.available && a.available) {
            b = a;
            c = a;
        }
        const int matches = (a.ref_idx == ref_idx) + (b.ref_idx == ref_idx) + (c.ref_idx == ref_idx);
        for (int component = 0; component < 2; ++component) {
            if (matches == 1) {
                mvp[component] = a.ref_idx == ref_idx   ? a.mv[component]
                                 : b.ref_idx == ref_idx ? b.mv[component]
                                                        : c.mv[component];
            } else {
                mvp[component] = median(a.mv[component], b.mv[component], c.mv[component]);
            }
        }
    }

    // 8.4.1.1: a zero vector beside a missing or still neighbour, else the 16x16 prediction.
    void skip() {
        const Neighbour a = neighbour(-1, 0, 0);
        const Neighbour b = neighbour(0, -1, 0);
        int mv[2] = {0, 0};
        const bool still = !a.available || !b.available || (a.ref_idx == 0 && a.mv[0] == 0 && a.mv[1] == 0) ||
                           (b.ref_idx == 0 && b.mv[0] == 0 && b.mv[1] == 0);
        if (!still) {
            predict(0, 0, 16, 0, 0, Shape::Other, mv);
        }
        store(0, 0, 16, 16, 0, 0, mv);
    }

    void partitions() {
        switch (static_cast<Partition>(mb_->partition)) {
            case Partition::P16x16:
                partition(0, 0, 16, 16, Shape::Other);
                break;
            case Partition::P16x8:
                partition(0, 0, 16, 8, Shape::Upper16x8);
                partition(0, 8, 16, 8, Shape::Lower16x8);
                break;
            case Partition::P8x16:
                partition(0, 0, 8, 16, Shape::Left8x16);
                partition(8, 0, 8, 16, Shape::Right8x16);
                break;
            default:
                for (int sub = 0; sub < 4; ++sub) {
                    const int code = mb_->sub_mb_type[sub];
                    if (b_slice_ && code == 0) {
                        direct(8 * (sub % 2), 8 * (sub / 2));
                    } else {
                        sub_partitions(8 * (sub % 2), 8 * (sub / 2),
                                       b_slice_ ? b_sub_mb_type(code) : p_sub_mb_type(code));
                    }
                }
        }
    }

    // 8.4.1.2: the 8x8 block at (x0, y0) of a B_Skip or B_Direct_16x16 macroblock, or a
    // direct 8x8 block of B_8x8, from the co-located picture's motion.
    void direct(int x0, int y0) {
        const auto slice = static_cast<std::size_t>(mb_->slice);
        const bool inference = syntax_.sequence.direct_8x8_inference;
        const bool spatial = syntax_.slices[slice].direct_spatial;
        // A field macroblock measures distances from its own field, and so does a field picture.
        const int parity = rows_.field_pair ? mb_y_ % 2 : -1;
        const int32_t order_count =
            spatial      ? 0
            : parity < 0 ? slice_order_count(syntax_, syntax_.slices[slice])
                         : field_order_count(syntax_.order_count, syntax_.slices[slice].bottom_order_offset, parity);
        // The prediction is the macroblock's, from its neighbours alone: once for its four blocks.
        if (spatial && !spatial_ready_) {
            spatial_prediction(spatial_ref_idx_, spatial_mv_);
            spatial_ready_ = true;
        }
        MotionRecord* const origin = &at(4 * mb_x_ + x0 / 4, 4 * mb_y_ + y0 / 4);
        const std::size_t row = 4 * static_cast<std::size_t>(cols_);
        for (std::size_t y = 0; y < 2; ++y) {
            origin[y * row].direct = 1;
            origin[y * row + 1].direct = 1;
        }
        // With direct_8x8_inference the four blocks take the motion of one co-located corner
        // block: it is worked out once, for all four.
        const int size = inference ? 8 : 4;
        for (int y = y0; y < y0 + 8; y += size) {
            for (int x = x0; x < x0 + 8; x += size) {
                const auto colocated = [&] {
                    return colocated_motion(*colocated_, mb_x_, mb_y_, rows_.field_pair, x / 4, y / 4, inference);
                };
                if (!spatial) {
                    MotionRecord block;
                    temporal_direct(colocated(), lists_[slice], order_count, parity, block);
                    for (int list = 0; list < 2; ++list) {
                        int16_t vector[2];
                        std::memcpy(vector, block.mv[list], sizeof vector);
                        const int stored[2] = {vector[0], vector[1]};
                        store(x, y, size, size, list, block.ref_idx[list], stored);
                    }
                    continue;
                }
                // Only a list of index 0 asks whether the co-located block is still.
                const bool still = (spatial_ref_idx_[0] == 0 || spatial_ref_idx_[1] == 0) &&
                                   colocated_is_still(*colocated_, colocated());
                for (int list = 0; list < 2; ++list) {
                    const int zero[2] = {0, 0};
                    store(x, y, size, size, list, spatial_ref_idx_[list],
                          spatial_ref_idx_[list] == 0 && still ? zero : spatial_mv_[list]);
                }
            }
        }
    }

    // 8.4.1.2.2: each list's index the lowest the macroblock's neighbours A, B and C use,
    // its vector the 16x16 prediction; both lists' index 0 and zero vectors where the
    // neighbours use neither list.
    void spatial_prediction(int* ref_idx, int (*mv)[2]) const {
        const auto min_positive = [](int a, int b) { return a >= 0 && b >= 0 ? std::min(a, b) : std::max(a, b); };
        // The same neighbours give the vectors.
        Beside neighbours[2];
        for (int list = 0; list < 2; ++list) {
            neighbours[list] = beside(0, 0, 16, list);
            const Beside& n = neighbours[list];
            ref_idx[list] = min_positive(n.a.ref_idx, min_positive(n.b.ref_idx, n.c.ref_idx));
        }
        const bool zero = ref_idx[0] < 0 && ref_idx[1] < 0;
        for (int list = 0; list < 2; ++list) {
            mv[list][0] = 0;
            mv[list][1] = 0;
            if (zero) {
                ref_idx[list] = 0;
            } else if (ref_idx[list] >= 0) {
                predict_from(neighbours[list], ref_idx[list], Shape::Other, mv[list]);
            }
        }
    }

    // Tables 7-17 and 7-18.
    void sub_partitions(int x0, int y0, const SubMbTypeInfo& sub) {
        const int width = 4 * sub.width;
        const int height = 4 * sub.height;
        for (int y = y0; y < y0 + 8; y += height) {
            for (int x = x0; x < x0 + 8; x += width) {
                partition(x, y, width, height, Shape::Other);
            }
        }
    }

    // The lists a partition uses are those its 8x8 block codes an index for; an index not
    // coded in a P slice (one reference) is 0.
    void partition(int x, int y, int width, int height, Shape shape) {
        for (int list = 0; list < 2; ++list) {
            const int coded = mb_->ref_idx[list][(y / 8) * 2 + x / 8];
            const bool used = b_slice_ ? coded >= 0 : list == 0;
            int mv[2] = {0, 0};
            const int ref_idx = used ? std::max(coded, 0) : -1;
            if (used) {
                predict(x, y, width, list, ref_idx, shape, mv);
                // The record is packed for NumPy: its int16 fields may lie at odd addresses.
                int16_t mvd[2];
                std::memcpy(mvd, mb_->mvd[list][(y / 4) * 4 + x / 4], sizeof mvd);
                mv[0] += mvd[0];
                mv[1] += mvd[1];
            }
            store(x, y, width, height, list, ref_idx, mv);
        }
    }

    // Everything the loop needs is in locals first: a store through the record's int8_t
    // fields may change any object, this one's members included, and they would be read
    // again after each.
    void store(int x0, int y0, int width, int height, int list, int ref_idx, const int* mv) {
        const int32_t ref_poc = named_order_count(list, ref_idx);
        const auto index = static_cast<int8_t>(ref_idx);
        const auto mv_x = static_cast<int16_t>(mv[0]);
        const auto mv_y = static_cast<int16_t>(mv[1]);
        MotionRecord* const origin = &at(4 * mb_x_ + x0 / 4, 4 * mb_y_ + y0 / 4);
        const std::size_t row = 4 * static_cast<std::size_t>(cols_);
        uint32_t decoded = 0;
        for (int y = 0; y < height / 4; ++y) {
            for (int x = 0; x < width / 4; ++x) {
                MotionRecord& block = origin[static_cast<std::size_t>(y) * row + static_cast<std::size_t>(x)];
                block.ref_idx[list] = index;
                block.ref_poc[list] = ref_poc;
                block.mv[list][0] = mv_x;
                block.mv[list][1] = mv_y;
                decoded |= 1u << block_order(x0 + 4 * x, y0 + 4 * y);
            }
        }
        decoded_ |= decoded;
    }

    // The picture order count of the picture (of a field macroblock's index, the frame) that
    // the index names in the slice's list; -1 for none.
    int32_t named_order_count(int list, int ref_idx) const {
        if (ref_idx < 0 || names_[list] == nullptr) {
            return -1;
        }
        const auto index = static_cast<std::size_t>(ref_idx >> index_shift_);
        return index < names_[list]->size() ? (*names_[list])[index].order_count : -1;
    }

    MotionRecord& at(int x, int y) const { return field_[static_cast<std::size_t>(y) * 4 * cols_ + x]; }

    const FrameSyntax& syntax_;
    const std::vector<SliceLists>& lists_;
    const ColocatedPicture* colocated_;
    MotionRecord* const field_;
    const int cols_;
    const bool mbaff_;
    int mb_x_ = 0;
    int mb_y_ = 0;
    MacroblockRows rows_;
    const MbSyntaxRecord* mb_ = nullptr;
    bool b_slice_ = false;
    // The macroblock's slice's lists, null where it has none; an index's shift to the list's.
    const std::vector<HeldReference>* names_[2] = {nullptr, nullptr};
    int index_shift_ = 0;
    // The 4x4 blocks of the macroblock whose motion is known, by decoding order.
    uint32_t decoded_ = 0;
    // The macroblock's spatial direct prediction, where worked out.
    bool spatial_ready_ = false;
    int spatial_ref_idx_[2] = {0, 0};
    int spatial_mv_[2][2] = {};
};

bool is_direct(const MbSyntaxRecord& mb, const FrameSyntax& syntax) {
    const auto type = static_cast<MbType>(mb.type);
    if (type == MbType::DirectSkip || type == MbType::Direct) {
        return true;
    }
    const bool b_slice = mb.slice >= 0 && syntax.slices[static_cast<std::size_t>(mb.slice)].kind == kSliceB;
    return b_slice && static_cast<Partition>(mb.partition) == Partition::P8x8 &&
           std::any_of(std::begin(mb.sub_mb_type), std::end(mb.sub_mb_type), [](int8_t sub) { return sub == 0; });
}

}  // namespace

void build_picture_motion_field(const FrameSyntax& syntax, const SyntaxSource& source, MotionRecord* field,
                                MotionFieldMemo* memo, const std::vector<MotionRecord>* first_field) {
    const std::vector<SliceLists> lists = reference_lists(syntax);
    // Only B slices code direct prediction: the macroblocks of other pictures are not looked at.
    const bool b_slices = std::any_of(syntax.slices.begin(), syntax.slices.end(),
                                      [](const SliceSyntaxHeader& slice) { return slice.kind == kSliceB; });
    const bool direct = b_slices && std::any_of(syntax.coded_records.begin(), syntax.coded_records.end(),
                                                [&](const MbSyntaxRecord& mb) { return is_direct(mb, syntax); });
    std::optional<ColocatedPicture> colocated;
    if (direct) {
        colocated = colocated_picture(syntax, lists, source, memo, first_field);
    }
    // Each macroblock writes all of its blocks.
    Motion motion(syntax, lists, colocated ? &*colocated : nullptr, field);
    for (std::size_t address = 0; address < syntax.coded_records.size(); ++address) {
        const auto [mb_x, mb_y] = decoding_place(address, syntax.coded_cols, is_mbaff_frame(syntax));
        motion.macroblock(mb_x, mb_y);
    }
}
