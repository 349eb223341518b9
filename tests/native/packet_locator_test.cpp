// The packet locator against scripted demuxers: landing early, landing late, refusing a
// seek, and delivering packets split otherwise after a seek than in the scan, which no
// file tried reaches reliably. With --write-seeds DIR the scripts become the locator
// fuzzer's seeds.

#include <fstream>
#include <string>
#include <vector>

#include "check.hpp"
#include "locator_script.hpp"

namespace {

using Arrival = PacketLocator::Arrival;

std::vector<ScriptedPacket> packets(int count, bool with_pos = true, bool with_dts = true) {
    std::vector<ScriptedPacket> made(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        made[i].has_pos = with_pos;
        made[i].has_dts = with_dts;
        made[i].size = static_cast<uint8_t>(100 + i);
        made[i].key = i % 4 == 0;
    }
    return made;
}

struct Case {
    std::string name;
    LocatorScript script;
    Arrival arrival;
    int32_t taken;
};

std::vector<Case> cases() {
    std::vector<Case> all;
    const auto add = [&](std::string name, bool count, int32_t start, std::vector<ScriptedPacket> delivered,
                         std::vector<std::pair<bool, int32_t>> landings, Arrival arrival, int32_t taken) {
        LocatorScript script{count, start, packets(8), std::move(delivered), std::move(landings)};
        all.push_back(Case{std::move(name), std::move(script), arrival, taken});
    };
    // By timestamp and position.
    add("lands early", false, 4, packets(8), {{true, 2}}, Arrival::AtStart, 4);
    add("lands on the key packet", false, 4, packets(8), {{true, 4}}, Arrival::AtStart, 4);
    add("lands late and is rewound", false, 4, packets(8), {{true, 6}, {true, 0}}, Arrival::AtStart, 4);
    add("lands late and the rewind is refused", false, 4, packets(8), {{true, 6}, {false, 0}}, Arrival::Lost, 0);
    add("lands late again after the rewind", false, 4, packets(8), {{true, 6}, {true, 5}}, Arrival::Lost, 0);
    add("refuses the seek and stays before", false, 4, packets(8), {{false, 0}}, Arrival::Before, 0);
    // By counting: the same split as the scan, then another one.
    add("counts from the anchor", true, 4, packets(8), {{true, 4}}, Arrival::AtStart, 4);
    add("counts from an earlier landing", true, 4, packets(8), {{true, 1}}, Arrival::AtStart, 4);
    std::vector<ScriptedPacket> resplit = packets(8);
    resplit[5].size = 7;
    add("a later packet split otherwise stops taking", true, 4, resplit, {{true, 4}}, Arrival::AtStart, 1);
    std::vector<ScriptedPacket> shifted = packets(8);
    shifted[4].size = 9;
    add("the key packet split otherwise is lost after a rewind", true, 4, shifted, {{true, 4}, {true, 0}},
        Arrival::Lost, 0);
    add("landing past the anchor rewinds", true, 4, packets(8), {{true, 6}, {true, 0}}, Arrival::AtStart, 4);
    add("landing past the anchor with the rewind refused is lost", true, 4, packets(8), {{true, 6}, {false, 0}},
        Arrival::Lost, 0);
    return all;
}

void check_case(const Case& test) {
    const ScriptOutcome outcome = run(test.script);
    if (outcome.arrival != test.arrival || outcome.taken != test.taken || !outcome.broken_promise.empty()) {
        std::cerr << test.name << ": arrival " << static_cast<int>(outcome.arrival) << ", took " << outcome.taken
                  << (outcome.broken_promise.empty() ? "" : ", " + outcome.broken_promise) << "\n";
    }
    CHECK_EQ(static_cast<int>(outcome.arrival), static_cast<int>(test.arrival));
    CHECK_EQ(outcome.taken, test.taken);
    CHECK_EQ(outcome.broken_promise, std::string());
}

void counted_packets_are_stamped_with_their_frame_number() {
    std::vector<PacketInfo> table;
    for (int32_t i = 0; i < 4; ++i) {
        table.push_back(PacketInfo{i * 2, AV_NOPTS_VALUE, AV_NOPTS_VALUE, -1, 50 + i, i == 0, i});
    }
    const auto refuse = [](int64_t) { return true; };
    PacketLocator locator(table, true, DemuxerSeeks{refuse, refuse});
    AVPacket* packet = av_packet_alloc();
    packet->size = 52;
    packet->pts = AV_NOPTS_VALUE;
    CHECK(locator.take(*packet, 2));
    CHECK_EQ(packet->pts, int64_t{4});
    packet->size = 53;
    CHECK(!locator.take(*packet, 2));
    CHECK(!locator.take(*packet, 9));
    av_packet_free(&packet);
}

void write_seeds(const std::string& folder) {
    int number = 0;
    for (const Case& test : cases()) {
        const std::vector<uint8_t> bytes = serialize(test.script);
        std::ofstream(folder + "/locator_" + std::to_string(number++), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--write-seeds") {
        write_seeds(argv[2]);
        return 0;
    }
    for (const Case& test : cases()) {
        check_case(test);
        // What the fuzzer reads back is the same script.
        const std::vector<uint8_t> bytes = serialize(test.script);
        CHECK(serialize(parse(bytes.data(), bytes.size())) == bytes);
    }
    counted_packets_are_stamped_with_their_frame_number();
    return finish("packet_locator_test");
}
