#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "reconstruct/motion_field.hpp"
#include "reconstruct/reference_marking.hpp"
#include "syntax/frame_syntax_reader.hpp"

// A slice's reference picture lists 0 and 1 (empty where the slice uses none), each entry's
// frame -1 where its index names no picture.
using SliceLists = std::array<std::vector<HeldReference>, 2>;

// The lists of each slice of a frame: initialised (8.2.4.2.1 for P slices by descending
// PicNum, 8.2.4.2.3 for B slices by picture order count), long-term frames after the short-
// term ones, and modified as the slice says (8.2.4.3), over the references the pictures
// decoded before it from its key packet leave marked. A field's lists name fields
// (8.2.4.2.2, 8.2.4.2.4, 8.2.4.2.5), the first field of the frame `current_frame` among them
// for its second field.
std::vector<SliceLists> reference_lists(const FrameSyntax& syntax, int32_t current_frame = -1);

