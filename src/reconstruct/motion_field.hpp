#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "syntax/frame_syntax_reader.hpp"

// One 4x4 block's motion, laid out as the NumPy structured array that carries it.
#pragma pack(push, 1)
struct MotionRecord {
    // Per list (x, y), quarter samples.
    int16_t mv[2][2] = {{0, 0}, {0, 0}};
    // Per list; -1 where the list is not used (intra blocks too).
    int8_t ref_idx[2] = {-1, -1};
    // Per list, the picture order count of the picture referred to; -1 where the list is not
    // used or the picture is not known.
    int32_t ref_poc[2] = {-1, -1};
    // Whether the block's motion is B direct prediction's (B_Skip, B_Direct_16x16, a direct
    // 8x8 block of B_8x8), derived rather than coded.
    uint8_t direct = 0;
};
#pragma pack(pop)

// A picture's motion field, with of an MBAFF frame whether each of its macroblocks is a field
// macroblock, in the rows of the grid (empty elsewhere). The field is its own, or one it
// refers to where it was built straight into memory that outlives it (a batch's array): a
// megabyte and more a frame is not copied to be kept.
class PictureMotion {
public:
    PictureMotion(std::vector<MotionRecord> field, std::vector<uint8_t> field_macroblocks)
        : field_macroblocks(std::move(field_macroblocks)), owned_(std::move(field)),
          blocks_(owned_.data()), size_(owned_.size()) {}
    PictureMotion(const MotionRecord* blocks, std::size_t size, std::vector<uint8_t> field_macroblocks)
        : field_macroblocks(std::move(field_macroblocks)), blocks_(blocks), size_(size) {}
    // It may point into itself.
    PictureMotion(const PictureMotion&) = delete;
    PictureMotion& operator=(const PictureMotion&) = delete;

    const MotionRecord* blocks() const { return blocks_; }
    std::size_t size() const { return size_; }
    const MotionRecord& operator[](std::size_t block) const { return blocks_[block]; }
    // The memory of a field of its own, for another field to be built in; it holds no field after.
    std::vector<MotionRecord> release() {
        blocks_ = nullptr;
        size_ = 0;
        return std::move(owned_);
    }

    const std::vector<uint8_t> field_macroblocks;

private:
    std::vector<MotionRecord> owned_;
    const MotionRecord* blocks_;
    std::size_t size_;
};

// Reads the syntax, with its levels, of the session's frame `frame` (FrameSyntaxReader::read).
using SyntaxSource = std::function<void(int32_t frame, FrameSyntax& syntax)>;

// The motion field of a P or B frame on the coded grid of 4x4 blocks (rows of 4 * coded_cols
// blocks), each vector of each list its partition uses its prediction from the same list's
// neighbours (8.4.1.3: median, the directional 16x8 and 8x16 rules, P_Skip) plus its coded
// difference; direct-mode blocks spatial or temporal as the slice says, from the motion of the
// co-located picture, whose syntax `source` reads (and its co-located picture's where it needs
// it) unless `memo` holds its field; each block's references named by their picture order counts
// in its slice's lists. A frame of two field pictures has each field's motion, in field rows, its
// macroblocks where the syntax puts them (field_pictures.hpp); so has a field macroblock of an
// MBAFF frame, its neighbours those beside its rows (macroblock_rows.hpp), its direct blocks'
// co-located block as direct_motion.hpp finds it. What direct_motion.hpp does not build raises
// PredictionNotBuilt. `field` holds motion_field_blocks(syntax) records.
class MotionFieldMemo;
void build_motion_field(const FrameSyntax& syntax, const SyntaxSource& source, MotionRecord* field,
                        MotionFieldMemo* memo = nullptr);

// The blocks of the frame's motion field; std::runtime_error where its syntax could not be read.
std::size_t motion_field_blocks(const FrameSyntax& syntax);

// The same of one coded picture: a frame, or one field as field_syntax gives it, the second
// field of a frame with `first_field` the motion of the first. `field` holds 16 records a
// macroblock of the picture.
void build_picture_motion_field(const FrameSyntax& syntax, const SyntaxSource& source, MotionRecord* field,
                                MotionFieldMemo* memo = nullptr,
                                const std::vector<MotionRecord>* first_field = nullptr);

// The parity (0 top, 1 bottom) of the first field of a frame of two field pictures.
int first_field_parity(const FrameSyntax& syntax);
