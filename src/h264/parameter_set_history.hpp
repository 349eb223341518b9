#pragma once

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "h264/nal_units.hpp"

// The H.264 parameter sets in force where each packet of the scan begins: the sequence and
// picture parameter set units the stream (its extradata, then its packets) declared last
// under each id before that packet. A decoder brought to a key packet after a seek has those
// of whatever it decoded before, and a stream may redefine an id midway (recordings joined
// with cat, an encoder restarted with other settings), so a reader that starts at a key
// packet gives the decoder these first; a parser of the key packet's syntax reads it with
// them.
//
// Built once by the scan, in packet order; read-only afterwards, by any thread.
class ParameterSetHistory {
public:
    // Each SPS unit by id, then each PPS unit by id: whole NAL units, header byte first,
    // emulation prevention bytes in. Empty for a stream of another codec.
    using Units = std::vector<std::vector<uint8_t>>;

    // The units in force before the packet at this position in the packet table.
    const Units& before_packet(int32_t packet) const;

    // While scanning: an SPS or PPS unit read in the extradata (packet -1) or in the packet
    // at this position, in force from the next packet on. Other units, and sets whose id
    // cannot be read, change nothing.
    void declare(int32_t packet, const NalUnit& unit);

    // The units as a packet of a stream carries them: behind `length_size`-byte lengths, or
    // after four-byte start codes where it is 0 (Annex B).
    static std::vector<uint8_t> framed(const Units& units, int length_size);

private:
    struct Change {
        int32_t from_packet;
        Units units;
    };

    // Ascending by from_packet; a new entry only where a unit's content changes.
    std::vector<Change> changes_;
    std::map<std::pair<int, uint32_t>, std::vector<uint8_t>> current_;
};
