#include "h264/parameter_sets.hpp"

#include <algorithm>
#include <climits>

extern "C" {
#include <libavutil/imgutils.h>
}

namespace {

constexpr int kSequenceParameterSet = 7;
constexpr int kPictureParameterSet = 8;

bool has_chroma_format_fields(uint32_t profile) {
    switch (profile) {
        case 100: case 110: case 122: case 244: case 44: case 83: case 86: case 118: case 128: case 138: case 139:
        case 134: case 135:
            return true;
        default:
            return false;
    }
}

// A field of log2 sizes coded minus 4; one past 16, the largest any holds, stands for every
// larger code, which makes FFmpeg drop the parameter set.
int coded_bits(uint32_t code) { return static_cast<int>(std::min<uint32_t>(code, 13)) + 4; }

void skip_scaling_list(RbspReader& reader, int size) {
    int64_t last = 8;
    int64_t next = 8;
    for (int j = 0; j < size; ++j) {
        if (next != 0) {
            next = (last + reader.signed_code()) & 0xff;
        }
        last = next == 0 ? last : next;
    }
}

void read_chroma_format(RbspReader& reader, SequenceParameters& sequence) {
    sequence.chroma_format = static_cast<int>(reader.unsigned_code());
    if (sequence.chroma_format == 3) {
        sequence.separate_colour_planes = reader.flag();
    }
    reader.unsigned_code();  // bit depths
    reader.unsigned_code();
    reader.flag();  // transform bypass
    if (reader.flag()) {
        const int lists = sequence.chroma_format != 3 ? 8 : 12;
        for (int i = 0; i < lists; ++i) {
            if (reader.flag()) {
                skip_scaling_list(reader, i < 6 ? 16 : 64);
            }
        }
    }
}

void read_order_count_fields(RbspReader& reader, SequenceParameters& sequence) {
    sequence.order_count_type = static_cast<int>(reader.unsigned_code());
    if (sequence.order_count_type == 0) {
        sequence.order_count_lsb_bits = coded_bits(reader.unsigned_code());
    } else if (sequence.order_count_type == 1) {
        sequence.delta_order_always_zero = reader.flag();
        sequence.offset_for_non_reference = reader.signed_code();
        sequence.offset_for_top_to_bottom = reader.signed_code();
        const uint32_t cycle = reader.unsigned_code();
        if (cycle > 255) {
            throw RbspReader::Exhausted();
        }
        for (uint32_t i = 0; i < cycle; ++i) {
            sequence.reference_frame_offsets.push_back(reader.signed_code());
        }
    }
}

// As FFmpeg reads the window: in units of chroma samples horizontally and of chroma rows (of
// field rows, where fields are coded) vertically; a window that leaves no picture is ignored.
CodedWindow read_window(RbspReader& reader, int chroma_format, bool frame_mbs_only, int width_mbs, int height_units) {
    CodedWindow window;
    window.coded_width = width_mbs * 16;
    window.coded_height = (frame_mbs_only ? 1 : 2) * height_units * 16;
    if (!reader.flag()) {
        return window;
    }
    const int step_x = chroma_format == 1 || chroma_format == 2 ? 2 : 1;
    const int step_y = (frame_mbs_only ? 1 : 2) * (chroma_format == 1 ? 2 : 1);
    const int64_t left = reader.unsigned_code() * int64_t{step_x};
    const int64_t right = reader.unsigned_code() * int64_t{step_x};
    const int64_t top = reader.unsigned_code() * int64_t{step_y};
    const int64_t bottom = reader.unsigned_code() * int64_t{step_y};
    if (left + right < window.coded_width && top + bottom < window.coded_height) {
        window.left = static_cast<int32_t>(left);
        window.right = static_cast<int32_t>(right);
        window.top = static_cast<int32_t>(top);
        window.bottom = static_cast<int32_t>(bottom);
    }
    return window;
}

SequenceParameters read_sequence(RbspReader& reader, uint32_t& id) {
    SequenceParameters sequence;
    const uint32_t profile = reader.bits(8);
    reader.bits(16);  // constraint flags and level
    id = reader.unsigned_code();
    if (has_chroma_format_fields(profile)) {
        read_chroma_format(reader, sequence);
    }
    sequence.frame_num_bits = coded_bits(reader.unsigned_code());
    read_order_count_fields(reader, sequence);
    reader.unsigned_code();  // reference frames
    reader.flag();           // gaps in frame numbers allowed
    const int64_t width_mbs = int64_t{reader.unsigned_code()} + 1;
    const int64_t height_units = int64_t{reader.unsigned_code()} + 1;
    sequence.frame_mbs_only = reader.flag();
    if (!sequence.frame_mbs_only) {
        reader.flag();  // macroblock-adaptive frame/field
    }
    reader.flag();  // direct 8x8 inference
    // As FFmpeg, which drops a parameter set whose size in samples does not fit an int.
    if (width_mbs >= INT_MAX / 16 || height_units >= INT_MAX / (16 * (sequence.frame_mbs_only ? 1 : 2))) {
        return sequence;
    }
    sequence.window = read_window(reader, sequence.chroma_format, sequence.frame_mbs_only,
                                  static_cast<int>(width_mbs), static_cast<int>(height_units));
    // A picture size FFmpeg refuses makes it drop the whole parameter set: no slice of it is
    // decoded, and none of it can be counted on to show a picture.
    sequence.valid = sequence.frame_num_bits <= 16 && sequence.order_count_lsb_bits <= 16 &&
                     sequence.order_count_type <= 2 &&
                     av_image_check_size(static_cast<unsigned>(sequence.window.coded_width),
                                         static_cast<unsigned>(sequence.window.coded_height), 0, nullptr) >= 0;
    return sequence;
}

void skip_slice_groups(RbspReader& reader, uint32_t groups) {
    const uint32_t map_type = reader.unsigned_code();
    if (map_type == 0) {
        for (uint32_t i = 0; i < groups; ++i) {
            reader.unsigned_code();
        }
    } else if (map_type == 2) {
        for (uint32_t i = 0; i + 1 < groups; ++i) {
            reader.unsigned_code();
            reader.unsigned_code();
        }
    } else if (map_type >= 3 && map_type <= 5) {
        reader.flag();
        reader.unsigned_code();
    } else if (map_type == 6) {
        int id_bits = 0;
        while ((1u << id_bits) < groups) {
            ++id_bits;
        }
        const uint32_t units = reader.unsigned_code() + 1;
        for (uint32_t i = 0; i < units; ++i) {
            reader.bits(id_bits);
        }
    }
}

PictureParameters read_picture(RbspReader& reader, uint32_t& id) {
    PictureParameters picture;
    id = reader.unsigned_code();
    picture.sequence = reader.unsigned_code();
    reader.flag();  // entropy coding mode
    picture.bottom_field_order_present = reader.flag();
    const uint32_t groups = reader.unsigned_code() + 1;
    if (groups > 1) {
        skip_slice_groups(reader, groups);
    }
    picture.default_references = {reader.unsigned_code() + 1, reader.unsigned_code() + 1};
    picture.weighted_prediction = reader.flag();
    picture.weighted_bipred = static_cast<int>(reader.bits(2));
    reader.signed_code();  // initial QP, QS, chroma offset
    reader.signed_code();
    reader.signed_code();
    reader.flag();  // deblocking filter control
    reader.flag();  // constrained intra prediction
    picture.redundant_count_present = reader.flag();
    picture.valid = picture.sequence < 32;
    return picture;
}

}  // namespace

void ParameterSets::read(const NalUnit& unit) {
    if (unit.type() != kSequenceParameterSet && unit.type() != kPictureParameterSet) {
        return;
    }
    try {
        RbspReader reader(unit);
        uint32_t id = 0;
        if (unit.type() == kSequenceParameterSet) {
            SequenceParameters sequence = read_sequence(reader, id);
            if (id < sequences.size()) {
                sequences[id] = std::move(sequence);
            }
        } else {
            PictureParameters picture = read_picture(reader, id);
            if (id < pictures.size()) {
                pictures[id] = picture;
            }
        }
    } catch (const RbspReader::Exhausted&) {
        // A damaged or truncated parameter set: the slices that refer to it stay unread.
    }
}
