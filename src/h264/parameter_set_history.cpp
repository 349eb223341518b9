#include "h264/parameter_set_history.hpp"

#include <algorithm>
#include <optional>

#include "h264/rbsp_reader.hpp"

namespace {

constexpr int kSequenceParameterSet = 7;
constexpr int kPictureParameterSet = 8;

// An SPS names itself after profile, constraint flags and level; a PPS first of all.
std::optional<uint32_t> parameter_set_id(const NalUnit& unit) {
    try {
        RbspReader reader(unit);
        if (unit.type() == kSequenceParameterSet) {
            reader.bits(24);
        }
        return reader.unsigned_code();
    } catch (const RbspReader::Exhausted&) {
        return std::nullopt;
    }
}

}  // namespace

const ParameterSetHistory::Units& ParameterSetHistory::before_packet(int32_t packet) const {
    static const Units none;
    const auto after = std::upper_bound(changes_.begin(), changes_.end(), packet,
                                        [](int32_t wanted, const Change& change) { return wanted < change.from_packet; });
    return after == changes_.begin() ? none : std::prev(after)->units;
}

std::vector<uint8_t> ParameterSetHistory::framed(const Units& units, int length_size) {
    std::vector<uint8_t> data;
    for (const std::vector<uint8_t>& unit : units) {
        const int prefix = length_size > 0 ? length_size : 4;
        const std::size_t value = length_size > 0 ? unit.size() : 1;
        for (int i = prefix - 1; i >= 0; --i) {
            data.push_back(static_cast<uint8_t>(value >> (8 * i)));
        }
        data.insert(data.end(), unit.begin(), unit.end());
    }
    return data;
}

void ParameterSetHistory::declare(int32_t packet, const NalUnit& unit) {
    if (unit.type() != kSequenceParameterSet && unit.type() != kPictureParameterSet) {
        return;
    }
    const std::optional<uint32_t> id = parameter_set_id(unit);
    if (!id) {
        return;
    }
    std::vector<uint8_t>& kept = current_[{unit.type(), *id}];
    if (std::equal(kept.begin(), kept.end(), unit.data, unit.data + unit.size)) {
        return;
    }
    kept.assign(unit.data, unit.data + unit.size);
    const int32_t from_packet = packet + 1;
    if (changes_.empty() || changes_.back().from_packet != from_packet) {
        changes_.push_back(Change{from_packet, {}});
    }
    Units& units = changes_.back().units;
    units.clear();
    for (const auto& [key, bytes] : current_) {
        units.push_back(bytes);
    }
}
