#pragma once

#include <cstdint>

extern "C" {
#include <libavcodec/packet.h>
}

// Bytes of the length in front of each NAL unit of a packet, as the avcC record in the
// stream's extradata declares it (MP4, Matroska); 0 for start codes (Annex B: MPEG-TS, raw).
int nal_length_size(const uint8_t* extradata, int extradata_size);

// Whether the packet's picture may serve other pictures as a reference: its first slice's
// nal_ref_idc is not 0. A packet whose slices cannot be found counts as a reference.
bool carries_reference_picture(const AVPacket& packet, int length_size);
