#include "h264/nal_units.hpp"

#include <algorithm>
#include <cstring>

namespace {

constexpr int kAvcConfigurationVersion = 1;
constexpr int kMinimumAvcRecord = 7;

bool is_avc_record(const uint8_t* extradata, int size) {
    return extradata && size >= kMinimumAvcRecord && extradata[0] == kAvcConfigurationVersion;
}

// Whether the data reads as units behind lengths: none 0, none running past the data.
bool is_length_prefixed(const uint8_t* data, int size, int length_size) {
    int position = 0;
    while (position + length_size < size) {
        uint32_t length = 0;
        for (int i = 0; i < length_size; ++i) {
            length = (length << 8) | data[position + i];
        }
        position += length_size;
        if (length == 0 || length > static_cast<uint32_t>(size - position)) {
            return false;
        }
        position += static_cast<int>(length);
    }
    return true;
}

void visit_length_prefixed(const uint8_t* data, int size, int length_size, int prefix,
                           const std::function<bool(const NalUnit&)>& visit) {
    int position = 0;
    while (position + length_size < size) {
        int length = 0;
        for (int i = 0; i < length_size; ++i) {
            length = (length << 8) | data[position + i];
        }
        position += length_size;
        if (!visit(NalUnit{data + position, prefix > 0 ? std::min(length, prefix) : length})) {
            return;
        }
        position += length;
    }
}

// The first start code (00 00 01) at or after `from`, as the offset of its first byte, or
// `size`. memchr finds the 01 bytes far faster than a byte loop, which mattered: a raw or
// MPEG-TS stream's every packet is searched at opening.
int find_start_code(const uint8_t* data, int size, int from) {
    int at = from + 2;
    while (at < size) {
        const void* one = std::memchr(data + at, 1, static_cast<std::size_t>(size - at));
        if (!one) {
            return size;
        }
        at = static_cast<int>(static_cast<const uint8_t*>(one) - data);
        if (data[at - 1] == 0 && data[at - 2] == 0) {
            return at - 2;
        }
        ++at;
    }
    return size;
}

// 00 00 01, or its four-byte form 00 00 00 01.
bool begins_with_start_code(const uint8_t* data, int size) {
    const bool three = size >= 3 && data[0] == 0 && data[1] == 0 && data[2] == 1;
    return three || (size >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1);
}

// Visits the units after start codes. A unit ends where the next start code begins; the zero
// bytes before that start code (trailing_zero_8bits, or the first byte of a four-byte start
// code) are not the unit's. Where `prefix` is set, a unit longer than that is visited as its
// first `prefix` bytes, so that a visitor that stops there never makes the search run through
// a whole slice.
void visit_annex_b(const uint8_t* data, int size, int prefix, const std::function<bool(const NalUnit&)>& visit) {
    int start = find_start_code(data, size, 0);
    while (start < size) {
        const int unit = start + 3;
        const int searched_to = prefix > 0 ? std::min(size, unit + prefix) : size;
        int end = find_start_code(data, searched_to, unit);
        const int next = end < searched_to ? end : find_start_code(data, size, searched_to - 2);
        while (end > unit && end < searched_to && data[end - 1] == 0) {
            --end;
        }
        if (end > unit && !visit(NalUnit{data + unit, end - unit})) {
            return;
        }
        start = next;
    }
}
}  // namespace

bool is_refused_by_decoder(const uint8_t* data, int size, int length_size) {
    if (length_size == 0 || is_length_prefixed(data, size, length_size)) {
        return false;
    }
    return !begins_with_start_code(data, size);
}

int nal_length_size(const uint8_t* extradata, int extradata_size) {
    return is_avc_record(extradata, extradata_size) ? (extradata[4] & 0x3) + 1 : 0;
}

void visit_nal_units(const uint8_t* data, int size, int length_size, const std::function<bool(const NalUnit&)>& visit,
                     int prefix) {
    if (!data || size <= 0) {
        return;
    }
    if (length_size > 0 && is_length_prefixed(data, size, length_size)) {
        visit_length_prefixed(data, size, length_size, prefix, visit);
        return;
    }
    visit_annex_b(data, size, prefix, visit);
}

// avcC: version, profile, compatibility, level, length size, then the SPS count and each SPS
// behind a 16-bit length, then the PPS count and each PPS likewise.
void visit_extradata_nal_units(const uint8_t* extradata, int size, const std::function<bool(const NalUnit&)>& visit) {
    if (!is_avc_record(extradata, size)) {
        visit_annex_b(extradata, size, 0, visit);
        return;
    }
    int position = 5;
    for (int list = 0; list < 2 && position < size; ++list) {
        const int count = list == 0 ? extradata[position] & 0x1F : extradata[position];
        ++position;
        for (int i = 0; i < count && position + 2 <= size; ++i) {
            const int length = (extradata[position] << 8) | extradata[position + 1];
            position += 2;
            if (length == 0 || length > size - position || !visit(NalUnit{extradata + position, length})) {
                return;
            }
            position += length;
        }
    }
}
