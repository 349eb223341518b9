#include "frame/macroblock_placement.hpp"

namespace {

constexpr int32_t kMacroblockSize = 16;

}  // namespace

std::optional<std::size_t> MacroblockPlacement::cell_of(int32_t mb_x, int32_t mb_y) const {
    const int32_t column = mb_x - skipped_cols;
    const int32_t row = mb_y - skipped_rows;
    if (column < 0 || column >= cols || row < 0 || row >= rows) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(row) * static_cast<std::size_t>(cols) + static_cast<std::size_t>(column);
}

MacroblockPlacement macroblock_placement(const CropOffsets& crop) {
    MacroblockPlacement placement;
    placement.cols = (crop.width + kMacroblockSize - 1) / kMacroblockSize;
    placement.rows = (crop.height + kMacroblockSize - 1) / kMacroblockSize;
    placement.skipped_cols = crop.left / kMacroblockSize;
    placement.skipped_rows = crop.top / kMacroblockSize;
    return placement;
}
