#pragma once

#include <cstdint>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "frame_index.hpp"

// How decoding is brought to a key packet of the scan's packet table: the rules every reader
// of the file follows, whichever decoder it feeds.

// Moves the demuxer to the key packet or before it; the packets up to it are then dropped
// by their placement. A failed seek needs no report: the placement of what is read next
// tells whether the demuxer is where it should be.
void seek_before(AVFormatContext* fmt_ctx, int video_stream_index, const PacketInfo& key);

enum class Landing { Drop, Decode };

// What to do with a packet read while decoding waits for the key packet `key` after a seek.
// Demuxers land at or before the timestamp sought, some a whole interval early: what precedes
// the key packet is dropped without being decoded. A demuxer that landed past it after all
// is sent back to the very beginning, once; `rewound` records that it has been.
Landing land_on_key_packet(AVFormatContext* fmt_ctx, int video_stream_index, const AVPacket& packet,
                           const std::vector<PacketInfo>& packets, int32_t key, bool& rewound);

// The key packet before the one at `packet` in the table, or the first packet.
int32_t previous_key_packet(const std::vector<PacketInfo>& packets, int32_t packet);
