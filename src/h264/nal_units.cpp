#include "h264/nal_units.hpp"

#include <vector>

namespace {

constexpr int kAvcConfigurationVersion = 1;
constexpr int kMinimumAvcRecord = 7;

bool is_avc_record(const uint8_t* extradata, int size) {
    return extradata && size >= kMinimumAvcRecord && extradata[0] == kAvcConfigurationVersion;
}

// The units behind lengths, or nothing where a length is 0 or runs past the data.
bool split_length_prefixed(const uint8_t* data, int size, int length_size, std::vector<NalUnit>& units) {
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
        units.push_back(NalUnit{data + position, static_cast<int>(length)});
        position += static_cast<int>(length);
    }
    return true;
}

bool is_start_code(const uint8_t* data, int size, int at) {
    return at + 3 <= size && data[at] == 0 && data[at + 1] == 0 && data[at + 2] == 1;
}

// A unit ends where the next start code begins; the zero bytes before that start code
// (trailing_zero_8bits, or the first byte of a four-byte start code) are not the unit's.
void split_annex_b(const uint8_t* data, int size, std::vector<NalUnit>& units) {
    int start = -1;
    for (int i = 0; i + 3 <= size; ++i) {
        if (!is_start_code(data, size, i)) {
            continue;
        }
        if (start >= 0) {
            int end = i;
            while (end > start && data[end - 1] == 0) {
                --end;
            }
            if (end > start) {
                units.push_back(NalUnit{data + start, end - start});
            }
        }
        start = i + 3;
        i += 2;
    }
    if (start >= 0 && start < size) {
        units.push_back(NalUnit{data + start, size - start});
    }
}

void visit_all(const std::vector<NalUnit>& units, const std::function<bool(const NalUnit&)>& visit) {
    for (const NalUnit& unit : units) {
        if (!visit(unit)) {
            return;
        }
    }
}

}  // namespace

int nal_length_size(const uint8_t* extradata, int extradata_size) {
    return is_avc_record(extradata, extradata_size) ? (extradata[4] & 0x3) + 1 : 0;
}

void visit_nal_units(const uint8_t* data, int size, int length_size, const std::function<bool(const NalUnit&)>& visit) {
    if (!data || size <= 0) {
        return;
    }
    std::vector<NalUnit> units;
    if (length_size > 0 && split_length_prefixed(data, size, length_size, units)) {
        visit_all(units, visit);
        return;
    }
    units.clear();
    split_annex_b(data, size, units);
    visit_all(units, visit);
}

// avcC: version, profile, compatibility, level, length size, then the SPS count and each SPS
// behind a 16-bit length, then the PPS count and each PPS likewise.
void visit_extradata_nal_units(const uint8_t* extradata, int size, const std::function<bool(const NalUnit&)>& visit) {
    if (!is_avc_record(extradata, size)) {
        visit_nal_units(extradata, size, 0, visit);
        return;
    }
    std::vector<NalUnit> units;
    int position = 5;
    for (int list = 0; list < 2 && position < size; ++list) {
        const int count = list == 0 ? extradata[position] & 0x1F : extradata[position];
        ++position;
        for (int i = 0; i < count && position + 2 <= size; ++i) {
            const int length = (extradata[position] << 8) | extradata[position + 1];
            position += 2;
            if (length == 0 || length > size - position) {
                break;
            }
            units.push_back(NalUnit{extradata + position, length});
            position += length;
        }
    }
    visit_all(units, visit);
}
