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
