#pragma once

// A scripted demuxer for the packet locator: the scan's packet table, what the demuxer
// delivers after a seek (which may be split otherwise than the scan saw it), and how each
// seek the locator asks for lands. The native tests run hand-written scripts through it; the
// locator fuzzer runs any bytes as one, and both check the locator's promises:
// - AtStart only for the key packet sought: by byte position where both have one, by size
//   where packets are counted;
// - take() only for a packet of the scan's size where packets are counted;
// - a bounded number of packets read before the locator answers AtStart or Lost.
//
// Bytes: flags (bit 0: count packets), the start packet, the scan's packet count and its
// packets (4 bytes each: position flag, dts flag, size, key flag), the delivered count and
// its packets likewise, then the seeks' landings (2 bytes each: accepted flag, packet).
// Counts are stored less one.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/packet.h>
}

#include "index/packet_locator.hpp"

struct ScriptedPacket {
    bool has_pos = true;
    bool has_dts = true;
    uint8_t size = 100;
    bool key = false;
};

struct LocatorScript {
    bool count_packets = false;
    int32_t start = 0;
    std::vector<ScriptedPacket> scanned;
    std::vector<ScriptedPacket> delivered;
    // For each seek in turn: whether the demuxer accepts it and where in `delivered` it lands.
    std::vector<std::pair<bool, int32_t>> landings;
};

struct ScriptOutcome {
    PacketLocator::Arrival arrival = PacketLocator::Arrival::Before;
    // Packets the locator took after AtStart before one did not match.
    int32_t taken = 0;
    int32_t seeks = 0;
    std::string broken_promise;
};

inline constexpr std::size_t kMaxScriptPackets = 64;

// Positions and decoding timestamps grow with the packet's place in the file; the scan and
// the demuxer agree on them where the demuxer delivers the same packets.
inline PacketInfo scanned_info(const ScriptedPacket& packet, int32_t index) {
    const int64_t pos = packet.has_pos ? int64_t{1000} * index : -1;
    const int64_t dts = packet.has_dts ? int64_t{10} * index : AV_NOPTS_VALUE;
    PacketInfo info{dts, dts, dts, pos, packet.size, packet.key, index};
    return info;
}

inline std::vector<uint8_t> serialize(const LocatorScript& script) {
    std::vector<uint8_t> bytes{static_cast<uint8_t>(script.count_packets), static_cast<uint8_t>(script.start)};
    for (const auto* packets : {&script.scanned, &script.delivered}) {
        bytes.push_back(static_cast<uint8_t>(packets->size() - 1));
        for (const ScriptedPacket& packet : *packets) {
            bytes.insert(bytes.end(), {static_cast<uint8_t>(packet.has_pos), static_cast<uint8_t>(packet.has_dts),
                                       packet.size, static_cast<uint8_t>(packet.key)});
        }
    }
    for (const auto& [accepted, landing] : script.landings) {
        bytes.insert(bytes.end(), {static_cast<uint8_t>(accepted), static_cast<uint8_t>(landing)});
    }
    return bytes;
}

// Any bytes make a script; packet counts and the start are brought into range.
inline LocatorScript parse(const uint8_t* data, std::size_t size) {
    LocatorScript script;
    std::size_t at = 0;
    const auto next = [&]() -> uint8_t { return at < size ? data[at++] : 0; };
    script.count_packets = next() & 1;
    const uint8_t start = next();
    for (auto* packets : {&script.scanned, &script.delivered}) {
        const std::size_t count = 1 + next() % kMaxScriptPackets;
        for (std::size_t i = 0; i < count; ++i) {
            ScriptedPacket packet;
            packet.has_pos = next() & 1;
            packet.has_dts = next() & 1;
            packet.size = next();
            packet.key = next() & 1;
            packets->push_back(packet);
        }
    }
    script.start = static_cast<int32_t>(start % script.scanned.size());
    while (at + 1 < size) {
        const bool accepted = next() & 1;
        script.landings.emplace_back(accepted, static_cast<int32_t>(next() % script.delivered.size()));
    }
    return script;
}

inline ScriptOutcome run(const LocatorScript& script) {
    std::vector<PacketInfo> table;
    for (std::size_t i = 0; i < script.scanned.size(); ++i) {
        table.push_back(scanned_info(script.scanned[i], static_cast<int32_t>(i)));
    }
    ScriptOutcome outcome;
    std::size_t next = script.delivered.size();
    const auto land = [&](int64_t) {
        if (static_cast<std::size_t>(outcome.seeks) >= script.landings.size()) {
            ++outcome.seeks;
            return false;
        }
        const auto [accepted, landing] = script.landings[outcome.seeks++];
        if (accepted) {
            next = static_cast<std::size_t>(landing);
        }
        return accepted;
    };
    PacketLocator locator(table, script.count_packets, DemuxerSeeks{land, land});
    locator.seek(script.start);

    AVPacket* packet = av_packet_alloc();
    const auto deliver = [&]() {
        const std::size_t index = next++;
        const PacketInfo info = scanned_info(script.delivered[index], static_cast<int32_t>(index));
        packet->pos = info.pos;
        packet->dts = info.dts;
        packet->pts = info.pts;
        packet->size = info.size;
    };
    // Every seek restarts the demuxer, and each packet is read at most once between seeks.
    const std::size_t read_limit = (script.landings.size() + 1) * script.delivered.size();
    std::size_t reads = 0;
    while (next < script.delivered.size() && reads++ < read_limit) {
        deliver();
        outcome.arrival = locator.arrive(*packet);
        if (outcome.arrival == PacketLocator::Arrival::Lost) {
            break;
        }
        if (outcome.arrival != PacketLocator::Arrival::AtStart) {
            continue;
        }
        const PacketInfo& wanted = table[script.start];
        if (!script.count_packets && packet->pos >= 0 && wanted.pos >= 0 && packet->pos != wanted.pos) {
            outcome.broken_promise = "AtStart at another packet's position";
        }
        if (script.count_packets && packet->size != wanted.size) {
            outcome.broken_promise = "AtStart at a packet of another size than the key packet";
        }
        for (int32_t expected = script.start; next <= script.delivered.size(); ++expected) {
            if (!locator.take(*packet, expected)) {
                break;
            }
            if (script.count_packets && packet->size != table[expected].size) {
                outcome.broken_promise = "took a counted packet of another size";
            }
            ++outcome.taken;
            if (next == script.delivered.size()) {
                break;
            }
            deliver();
        }
        break;
    }
    if (reads > read_limit) {
        outcome.broken_promise = "read without end";
    }
    av_packet_free(&packet);
    return outcome;
}
