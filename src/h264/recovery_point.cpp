#include "h264/recovery_point.hpp"

#include "h264/rbsp_reader.hpp"

namespace {

constexpr int kSei = 6;
constexpr uint32_t kRecoveryPointPayload = 6;
// rbsp_trailing_bits: a payload never begins with this byte.
constexpr uint32_t kTrailingBits = 0x80;

// payloadType and payloadSize: runs of 0xFF bytes, each adding 255, then a last byte.
uint32_t sei_number(RbspReader& reader) {
    uint32_t value = 0;
    uint32_t byte = reader.bits(8);
    while (byte == 0xFF) {
        value += 255;
        byte = reader.bits(8);
    }
    return value + byte;
}

}  // namespace

std::optional<uint32_t> recovery_frame_count(const NalUnit& unit) {
    if (unit.type() != kSei) {
        return std::nullopt;
    }
    try {
        RbspReader reader(unit);
        for (;;) {
            const uint32_t type = sei_number(reader);
            if (type == kTrailingBits) {
                return std::nullopt;
            }
            const uint32_t size = sei_number(reader);
            if (type == kRecoveryPointPayload) {
                return reader.unsigned_code();
            }
            for (uint32_t i = 0; i < size; ++i) {
                reader.bits(8);
            }
        }
    } catch (const RbspReader::Exhausted&) {
        return std::nullopt;
    }
}
