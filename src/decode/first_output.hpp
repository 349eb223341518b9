#pragma once

#include <cstdint>
#include <vector>

#include "ffmpeg/video_input.hpp"
#include "index/packet_scan.hpp"

// Decodes the input from the first packet of the table until the decoder outputs a picture,
// and returns the position of that picture's packet in the table, or -1 where the decoder
// outputs none. FFmpeg withholds the pictures it cannot show as decoded (those of a stream
// that begins after its key picture, and those a recovery point names as not yet right),
// following rules of its own; asking the decoder is the one way to match it.
int32_t find_first_output(VideoInput& input, const std::vector<PacketInfo>& packets);

// Decodes the whole input from its first packet and returns, for each picture the decoder
// outputs in turn, the position of its packet in the table: the order of the frames of a
// stream whose headers the module does not read and whose timestamps do not tell its
// pictures apart. Costs a decode of the file.
std::vector<int32_t> find_output_order(VideoInput& input, const std::vector<PacketInfo>& packets);
