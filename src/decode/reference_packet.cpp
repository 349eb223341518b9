#include "decode/reference_packet.hpp"

#include <optional>

namespace {

constexpr int kAvcConfigurationVersion = 1;
constexpr int kMinimumAvcRecord = 7;

bool is_slice(uint8_t header) {
    const int type = header & 0x1F;
    return type >= 1 && type <= 5;
}

bool is_reference(uint8_t header) { return ((header >> 5) & 0x3) != 0; }

std::optional<bool> first_slice_in_length_prefixed(const uint8_t* data, int size, int length_size) {
    int position = 0;
    while (position + length_size < size) {
        uint32_t length = 0;
        for (int i = 0; i < length_size; ++i) {
            length = (length << 8) | data[position + i];
        }
        position += length_size;
        if (length == 0 || length > static_cast<uint32_t>(size - position)) {
            return std::nullopt;
        }
        if (is_slice(data[position])) {
            return is_reference(data[position]);
        }
        position += static_cast<int>(length);
    }
    return std::nullopt;
}

std::optional<bool> first_slice_after_start_codes(const uint8_t* data, int size) {
    for (int i = 0; i + 3 < size; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && is_slice(data[i + 3])) {
            return is_reference(data[i + 3]);
        }
    }
    return std::nullopt;
}

}  // namespace

int nal_length_size(const uint8_t* extradata, int extradata_size) {
    if (!extradata || extradata_size < kMinimumAvcRecord || extradata[0] != kAvcConfigurationVersion) {
        return 0;
    }
    return (extradata[4] & 0x3) + 1;
}

// Some muxers store start codes even where the extradata declares length prefixes, so a
// packet that does not read as length-prefixed is read as Annex B as well.
bool carries_reference_picture(const AVPacket& packet, int length_size) {
    if (!packet.data || packet.size <= 0) {
        return true;
    }
    std::optional<bool> reference;
    if (length_size > 0) {
        reference = first_slice_in_length_prefixed(packet.data, packet.size, length_size);
    }
    if (!reference) {
        reference = first_slice_after_start_codes(packet.data, packet.size);
    }
    return reference.value_or(true);
}
