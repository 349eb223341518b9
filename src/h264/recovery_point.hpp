#pragma once

#include <cstdint>
#include <optional>

#include "h264/nal_units.hpp"

// The recovery_frame_cnt of a recovery point SEI message in the unit: how many frame numbers
// after the picture that follows it the pictures are right again (intra refresh, or an
// encoder's open entry points). Empty where the unit is no SEI, holds no such message, or
// cannot be read.
std::optional<uint32_t> recovery_frame_count(const NalUnit& unit);
