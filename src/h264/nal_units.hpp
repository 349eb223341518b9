#pragma once

#include <cstdint>
#include <functional>

// nal_unit_type of a slice of an IDR picture (Table 7-1).
inline constexpr int kSliceIdr = 5;

// One NAL unit of a packet: its header byte first, emulation prevention bytes still in.
struct NalUnit {
    const uint8_t* data;
    int size;

    int type() const { return data[0] & 0x1F; }
    int ref_idc() const { return (data[0] >> 5) & 0x3; }
};

// Bytes of the length in front of each NAL unit of a packet, as the avcC record in the
// stream's extradata declares it (MP4, Matroska); 0 for start codes (Annex B: MPEG-TS, raw).
int nal_length_size(const uint8_t* extradata, int extradata_size);

// Calls `visit` with each NAL unit of the data in order until it returns false. The units
// lie behind `length_size`-byte lengths, or after start codes where `length_size` is 0. Some
// muxers store start codes even where the extradata declares lengths, so data whose lengths
// do not add up is read as Annex B from its start. With `prefix` set, each unit is visited as
// at most its first `prefix` bytes: enough for the headers a visitor reads, and a unit's end is
// then not looked for past them.
void visit_nal_units(const uint8_t* data, int size, int length_size, const std::function<bool(const NalUnit&)>& visit,
                     int prefix = 0);

// Whether FFmpeg's decoder refuses the data of a stream whose units lie behind
// `length_size`-byte lengths as a whole: a length runs past the data's end (a recording cut
// inside the packet), and the data does not begin with a start code either.
bool is_refused_by_decoder(const uint8_t* data, int size, int length_size);

// The parameter sets of an avcC record (MP4, Matroska extradata), or the NAL units of
// extradata in Annex B form (MPEG-TS), visited as above.
void visit_extradata_nal_units(const uint8_t* extradata, int size, const std::function<bool(const NalUnit&)>& visit);
