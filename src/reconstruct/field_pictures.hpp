#pragma once

#include <vector>

#include "reconstruct/motion_field.hpp"
#include "reconstruct/rebuilt_picture.hpp"
#include "syntax/frame_syntax_reader.hpp"

// A frame made of two field pictures is rebuilt one field at a time, each field a picture of
// its own of half the frame's height: the syntax puts a field's macroblock row r on the
// frame's grid row 2r + parity (0 top, 1 bottom) and its sample row y on the frame's row
// 2y + parity, so a field is every other row of both.

// Whether the frame's pictures are field pictures.
bool holds_fields(const FrameSyntax& syntax);

// The field of `parity` of such a frame as a picture of its own: the macroblocks and levels
// of its rows, the frame's slice headers (its macroblocks number its own), the pictures
// decoded before the frame and the frame's order count.
FrameSyntax field_syntax(const FrameSyntax& frame, int parity);

// The picture order count of the picture `slice` belongs to: of a field picture its field's,
// the frame's count being its first field's; else the frame's.
int32_t slice_order_count(const FrameSyntax& syntax, const SliceSyntaxHeader& slice);

// The motion of the field of `parity` from its frame's (place_field_motion undone).
std::vector<MotionRecord> field_motion(const PictureMotion& frame, int parity, int coded_cols);

// Puts a field's rebuilt planes on the frame's rows of its parity; `frame` is sized already.
void place_field(const RebuiltPicture& field, int parity, RebuiltPicture& frame);
// Puts a field's residual on the frame's rows of its parity, in planes of the frame's size.
void place_field_residual(const RebuiltPicture& field, int parity, const ResidualPlanes& frame);

// Puts a field's motion field on the frame's grid of 4x4 blocks, each macroblock where the
// syntax puts it; `frame` holds twice the field's blocks.
void place_field_motion(const std::vector<MotionRecord>& field, int parity, int coded_cols, MotionRecord* frame);
