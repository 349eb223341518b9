#include "h264/reference_packet.hpp"

#include "h264/nal_units.hpp"

namespace {

// Only each unit's header byte is read.
constexpr int kHeaderByteOnly = 1;

bool is_slice(const NalUnit& unit) { return unit.type() >= 1 && unit.type() <= 5; }

}  // namespace

bool carries_reference_picture(const AVPacket& packet, int length_size) {
    bool reference = true;
    visit_nal_units(packet.data, packet.size, length_size, [&reference](const NalUnit& unit) {
        if (!is_slice(unit)) {
            return true;
        }
        reference = unit.ref_idc() != 0;
        return false;
    }, kHeaderByteOnly);
    return reference;
}
