#pragma once

#include <cstdint>
#include <optional>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "h264/parameter_set_history.hpp"
#include "syntax/parameter_syntax.hpp"
#include "syntax/picture_grid.hpp"

// What the units of a picture's packets say of it as a whole, as FFmpeg's decoder reports it.
struct PictureFacts {
    // The SliceKind of the first slice whose header was read (its first field's); -1 for none.
    int first_slice_kind = -1;
    // An IDR picture (either field), or one whose packet holds a recovery point SEI message
    // with recovery_frame_cnt 0: FFmpeg's key flag.
    bool key = false;
};

// Parses the pictures of one H.264 stream packet by packet, keeping the parameter sets in
// force: those of the extradata, then each SPS and PPS unit of the packets it is given.
class PictureSyntaxParser {
public:
    explicit PictureSyntaxParser(const AVCodecParameters& codecpar);

    // Takes the packet's parameter sets; its slices are not read.
    void read_parameter_sets(const uint8_t* data, int size);
    // Takes parameter set units (header byte first, emulation prevention bytes in), as
    // ParameterSetHistory keeps them.
    void read_parameter_sets(const ParameterSetHistory::Units& units);

    // Takes the packet's parameter sets and reads the header of its first slice; returns
    // whether it holds one that could be read. Where that slice is a field's and the packet
    // holds the other field of its frame too, `second_field` gets that field's first header.
    bool read_picture_header(const uint8_t* data, int size, SliceSyntaxHeader& header,
                             std::optional<SliceSyntaxHeader>* second_field = nullptr);

    // Parses every slice of the packet into `grid`, which the first slice sizes and clears
    // (and a packet without a picture empties). Returns whether the packet held a picture.
    // Slices the parser refuses (slice groups, SI/SP slices, data partitions, extension
    // units) leave their macroblocks unparsed. A field picture fills every other row of the
    // grid; an MBAFF frame's pairs fill two rows, a field pair's top macroblock the upper.
    bool parse_packet(const uint8_t* data, int size, PictureGrid& grid);

    // Where the last packet parsed held one field: parses the packet if it holds the other
    // field of the same frame, into the rows that field left; returns whether it did.
    bool parse_second_field(const uint8_t* data, int size, PictureGrid& grid);

    // Whether the last picture parsed is a single field, waiting for its pair.
    bool awaits_second_field() const { return awaited_field_ >= 0; }

    // The sequence parameter set of the last picture parsed; null before one is.
    const SequenceSyntax* sequence() const { return sequence_; }
    // The picture parameter set of the last picture's first slice; null before one is.
    const PictureSyntax* picture() const { return picture_; }
    // Of the last picture parsed, both fields where it has two.
    const PictureFacts& facts() const { return facts_; }

private:
    bool parse_units(const uint8_t* data, int size, PictureGrid& grid, int field);
    void parse_slice(const uint8_t* unit, int size, PictureGrid& grid, int field, bool& started);

    int length_size_ = 0;
    SyntaxParameterSets sets_;
    // The unescaped payload of the unit being read, reused from unit to unit.
    std::vector<uint8_t> payload_;
    const SequenceSyntax* sequence_ = nullptr;
    const PictureSyntax* picture_ = nullptr;
    int slices_ = 0;
    // The parity (0 top, 1 bottom) of the field the last picture parsed lacks; -1 for none.
    int awaited_field_ = -1;
    // Of the packet being parsed, the parities of its fields' slices: bit 0 top, bit 1 bottom.
    int parsed_fields_ = 0;
    PictureFacts facts_;
};
