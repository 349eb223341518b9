#include "frame/macroblock_placement.hpp"

namespace {

constexpr int32_t kMacroblockSize = 16;

}  // namespace

std::optional<std::size_t> MacroblockPlacement::cell_of(int32_t mb_x, int32_t mb_y) const {
    if (mb_x < 0 || mb_x >= cols || mb_y < 0 || mb_y >= rows) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(mb_y) * static_cast<std::size_t>(cols) + static_cast<std::size_t>(mb_x);
}

MacroblockPlacement macroblock_placement(const AVFrame& frame) {
    MacroblockPlacement placement;
    placement.cols = (frame.width + kMacroblockSize - 1) / kMacroblockSize;
    placement.rows = (frame.height + kMacroblockSize - 1) / kMacroblockSize;
    return placement;
}
