#pragma once

#include <cstdint>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "syntax/parameter_syntax.hpp"
#include "syntax/picture_grid.hpp"

// Parses the pictures of one H.264 stream packet by packet, keeping the parameter sets in
// force: those of the extradata, then each SPS and PPS unit of the packets it is given.
class PictureSyntaxParser {
public:
    explicit PictureSyntaxParser(const AVCodecParameters& codecpar);

    // Takes the packet's parameter sets; its slices are not read.
    void read_parameter_sets(const uint8_t* data, int size);

    // Parses every slice of the packet into `grid`, which the first slice sizes and clears.
    // Returns whether the packet held a picture. Slices the parser refuses (field pictures and
    // MBAFF frames, slice groups, SI/SP slices, data partitions, extension units) leave their
    // macroblocks unparsed.
    bool parse_packet(const uint8_t* data, int size, PictureGrid& grid);

    // The sequence parameter set of the last picture parsed; null before one is.
    const SequenceSyntax* sequence() const { return sequence_; }

private:
    void parse_slice(const uint8_t* unit, int size, PictureGrid& grid, bool& started);

    int length_size_ = 0;
    SyntaxParameterSets sets_;
    // The unescaped payload of the unit being read, reused from unit to unit.
    std::vector<uint8_t> payload_;
    const SequenceSyntax* sequence_ = nullptr;
    int slices_ = 0;
};
