#pragma once

#include <cstdint>
#include <vector>

#include "h264/header_reader.hpp"
#include "index/packet_scan.hpp"

// Frame i is the i-th picture FFmpeg's decoder outputs. The numbering decides, at opening and
// without decoding, which packets' pictures those are and in which order they come out:
//
// - A packet's picture is no frame of its own where the demuxer marks the packet as not to be
//   shown (an MP4 edit list's pre-roll), where it is the second field of a pair (the pair is
//   one frame, with the first field's timestamp), and where it lies, in output order, before
//   the first picture the decoder outputs: a stream that begins after its key picture, or at
//   a recovery point whose pictures are withheld until the picture it names, shows nothing
//   before that.
// - Where every packet has a presentation timestamp, no two frames share one and the
//   decoding timestamps never go backwards, frame i is the frame with the i-th smallest
//   timestamp, and packets keep theirs.
// - Otherwise (raw streams, AVI, MPEG-PS, timestamps missing, repeated, or starting again as
//   in joined recordings, and presentation timestamps equal to the decoding ones in a stream
//   with B pictures, which a muxer that did not know the order writes) the order comes from
//   the bitstream: each IDR picture, and the picture after one that resets the decoder's
//   memory, begins a group that is output after everything decoded before it, and
//   within a group pictures come out by picture order count. Each packet then carries its
//   frame number as timestamp.

// Where the stream's first picture is an IDR picture, its packet: the decoder outputs from
// there on. Otherwise -1: which picture comes out first has to be found by decoding.
int32_t leading_idr_packet(const std::vector<PictureOrder>& pictures);

// Whether the container's timestamps number the frames; otherwise the bitstream's picture
// order counts have to.
bool numbered_by_timestamps(const std::vector<PacketInfo>& packets, const std::vector<PictureOrder>& pictures);

// Numbers the frames, given the packet whose picture the decoder outputs first (-1 where it
// outputs none): fills each packet's frame_pts, and its pts where the frames are numbered from
// the bitstream. Returns whether they are. `pictures` is empty for a stream the H.264 parser
// cannot read: then every packet with a timestamp that is not marked to be discarded is a
// frame, and a stream without timestamps has none.
bool number_frames(std::vector<PacketInfo>& packets, const std::vector<PictureOrder>& pictures, int32_t first_output);

// Numbers the frames of a stream whose headers the module does not read and whose timestamps
// do not tell its pictures apart, by the decoder's output: `output_order` holds, for each
// picture the decoder output when it decoded the whole stream, the position of its packet.
// Each packet with a picture out gets the number of its first picture as timestamp and
// frame_pts, the others none.
void number_by_output_order(std::vector<PacketInfo>& packets, const std::vector<int32_t>& output_order);

// The bitstream's order on its own: for each packet the number of the frame its picture is in
// output order, or AV_NOPTS_VALUE for a packet without a picture of its own, a second field,
// or a picture output before `first_output`'s. `shown` says which pictures the decoder
// outputs at all (those of packets marked to be discarded are decoded but not output).
std::vector<int64_t> number_in_output_order(const std::vector<PictureOrder>& pictures, const std::vector<bool>& shown,
                                            int32_t first_output);
