#pragma once

#include <vector>

#include "h264/header_reader.hpp"
#include "index/packet_scan.hpp"

// Fills shown_from_pts of each key packet at a recovery point whose recovery takes frames
// (intra refresh): FFmpeg's decoder, started there, takes the stream as recovered at the
// first reference picture whose frame_num is recovery_frame_cnt past the key picture's, and
// outputs no picture shown before that one. The packets' pts must be numbered already.
void find_recovery_pictures(std::vector<PacketInfo>& packets, const std::vector<PictureOrder>& pictures);
