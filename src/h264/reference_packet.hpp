#pragma once

#include <cstdint>

extern "C" {
#include <libavcodec/packet.h>
}

#include "h264/nal_units.hpp"

// Whether the packet's picture may serve other pictures as a reference: its first slice's
// nal_ref_idc is not 0. A packet whose slices cannot be found counts as a reference.
bool carries_reference_picture(const AVPacket& packet, int length_size);
