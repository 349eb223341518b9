#include "h264/header_reader.hpp"

#include "h264/rbsp_reader.hpp"

extern "C" {
#include <libavutil/imgutils.h>
}

namespace {

constexpr int kSliceNonIdr = 1;
constexpr int kSliceIdr = 5;
constexpr int kSequenceParameterSet = 7;
constexpr int kPictureParameterSet = 8;
// Enough of a slice for its header whatever the reference lists and weight tables hold, and
// for its first fields up to the picture structure.
constexpr int kSliceHeaderBytes = 1024;
constexpr int kSliceStructureBytes = 32;

enum SliceType { kP = 0, kB = 1, kI = 2, kSP = 3, kSI = 4 };

bool has_chroma_format_fields(uint32_t profile) {
    switch (profile) {
        case 100: case 110: case 122: case 244: case 44: case 83: case 86: case 118: case 128: case 138: case 139:
        case 134: case 135:
            return true;
        default:
            return false;
    }
}

void skip_scaling_list(RbspReader& reader, int size) {
    int last = 8;
    int next = 8;
    for (int j = 0; j < size; ++j) {
        if (next != 0) {
            next = (last + reader.signed_code() + 256) % 256;
        }
        last = next == 0 ? last : next;
    }
}

// As FFmpeg reads the window: in units of chroma samples horizontally and of chroma rows (of
// field rows, where fields are coded) vertically; a window that leaves no picture is ignored.
CodedWindow read_crop(RbspReader& reader, int chroma_format, bool frame_mbs_only, int width_mbs, int height_units) {
    CodedWindow crop;
    crop.coded_width = width_mbs * 16;
    crop.coded_height = (frame_mbs_only ? 1 : 2) * height_units * 16;
    if (!reader.flag()) {
        return crop;
    }
    const int step_x = chroma_format == 1 || chroma_format == 2 ? 2 : 1;
    const int step_y = (frame_mbs_only ? 1 : 2) * (chroma_format == 1 ? 2 : 1);
    const int64_t left = reader.unsigned_code() * int64_t{step_x};
    const int64_t right = reader.unsigned_code() * int64_t{step_x};
    const int64_t top = reader.unsigned_code() * int64_t{step_y};
    const int64_t bottom = reader.unsigned_code() * int64_t{step_y};
    if (left + right < crop.coded_width && top + bottom < crop.coded_height) {
        crop.left = static_cast<int32_t>(left);
        crop.right = static_cast<int32_t>(right);
        crop.top = static_cast<int32_t>(top);
        crop.bottom = static_cast<int32_t>(bottom);
    }
    return crop;
}

H264HeaderReader::Sequence read_sequence(RbspReader& reader, uint32_t& id) {
    H264HeaderReader::Sequence sequence;
    const uint32_t profile = reader.bits(8);
    reader.bits(16);  // constraint flags and level
    id = reader.unsigned_code();
    if (has_chroma_format_fields(profile)) {
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
    sequence.frame_num_bits = static_cast<int>(reader.unsigned_code()) + 4;
    sequence.order_count_type = static_cast<int>(reader.unsigned_code());
    if (sequence.order_count_type == 0) {
        sequence.order_count_lsb_bits = static_cast<int>(reader.unsigned_code()) + 4;
    } else if (sequence.order_count_type == 1) {
        sequence.delta_order_always_zero = reader.flag();
        reader.signed_code();
        reader.signed_code();
        const uint32_t cycle = reader.unsigned_code();
        for (uint32_t i = 0; i < cycle && i < 256; ++i) {
            reader.signed_code();
        }
    }
    reader.unsigned_code();  // reference frames
    reader.flag();           // gaps in frame numbers allowed
    const int width_mbs = static_cast<int>(reader.unsigned_code()) + 1;
    const int height_units = static_cast<int>(reader.unsigned_code()) + 1;
    sequence.frame_mbs_only = reader.flag();
    if (!sequence.frame_mbs_only) {
        reader.flag();  // macroblock-adaptive frame/field
    }
    reader.flag();  // direct 8x8 inference
    sequence.crop = read_crop(reader, sequence.chroma_format, sequence.frame_mbs_only, width_mbs, height_units);
    // A picture size FFmpeg refuses makes it drop the whole parameter set: no slice of it is
    // decoded, and none of it can be counted on to show a picture.
    sequence.valid = sequence.frame_num_bits <= 16 && sequence.order_count_lsb_bits <= 16 &&
                     sequence.order_count_type <= 2 &&
                     av_image_check_size(static_cast<unsigned>(sequence.crop.coded_width),
                                         static_cast<unsigned>(sequence.crop.coded_height), 0, nullptr) >= 0;
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

H264HeaderReader::Picture read_picture(RbspReader& reader, uint32_t& id) {
    H264HeaderReader::Picture picture;
    id = reader.unsigned_code();
    picture.sequence = static_cast<int>(reader.unsigned_code());
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

void skip_list_modification(RbspReader& reader) {
    if (!reader.flag()) {
        return;
    }
    for (int i = 0; i < 100; ++i) {
        const uint32_t operation = reader.unsigned_code();
        if (operation == 3) {
            return;
        }
        reader.unsigned_code();
    }
}

void skip_weight_table(RbspReader& reader, const H264HeaderReader::Sequence& sequence, uint32_t references_l0,
                       uint32_t references_l1, bool bipredicted) {
    const bool chroma = !sequence.separate_colour_planes && sequence.chroma_format != 0;
    reader.unsigned_code();
    if (chroma) {
        reader.unsigned_code();
    }
    for (int list = 0; list < (bipredicted ? 2 : 1); ++list) {
        const uint32_t references = list == 0 ? references_l0 : references_l1;
        for (uint32_t i = 0; i < references; ++i) {
            if (reader.flag()) {
                reader.signed_code();
                reader.signed_code();
            }
            if (chroma && reader.flag()) {
                for (int j = 0; j < 4; ++j) {
                    reader.signed_code();
                }
            }
        }
    }
}

// Whether the marking holds operation 5. Operations 1, 3 and 6 carry further fields,
// 2 and 4 one each.
bool marks_memory_reset(RbspReader& reader) {
    for (int i = 0; i < 100; ++i) {
        const uint32_t operation = reader.unsigned_code();
        switch (operation) {
            case 0:
                return false;
            case 5:
                return true;
            case 3:
                reader.unsigned_code();
                reader.unsigned_code();
                break;
            default:
                reader.unsigned_code();
                break;
        }
    }
    return false;
}

}  // namespace

H264HeaderReader::H264HeaderReader(const AVCodecParameters& codecpar)
    : length_size_(nal_length_size(codecpar.extradata, codecpar.extradata_size)) {
    if (codecpar.codec_id != AV_CODEC_ID_H264) {
        return;
    }
    visit_extradata_nal_units(codecpar.extradata, codecpar.extradata_size, [this](const NalUnit& unit) {
        read_parameter_set(unit);
        return true;
    });
}

SliceFacts H264HeaderReader::read(const AVPacket& packet, bool through_marking) {
    SliceFacts facts;
    bool readable = false;
    visit_nal_units(packet.data, packet.size, length_size_, [&](const NalUnit& unit) {
        readable = true;
        if (unit.type() == kSliceNonIdr || unit.type() == kSliceIdr) {
            facts = read_slice(unit, through_marking);
            return false;
        }
        read_parameter_set(unit);
        return true;
    }, kSliceHeaderBytes);
    facts.readable = readable;
    return facts;
}

void H264HeaderReader::read_parameter_set(const NalUnit& unit) {
    if (unit.type() != kSequenceParameterSet && unit.type() != kPictureParameterSet) {
        return;
    }
    try {
        RbspReader reader(unit);
        uint32_t id = 0;
        if (unit.type() == kSequenceParameterSet) {
            Sequence sequence = read_sequence(reader, id);
            if (id < sequences_.size()) {
                sequences_[id] = sequence;
            }
        } else {
            Picture picture = read_picture(reader, id);
            if (id < pictures_.size()) {
                pictures_[id] = picture;
            }
        }
    } catch (const RbspReader::Exhausted&) {
        // A damaged or truncated parameter set: the slices that refer to it stay unread.
    }
}

SliceFacts H264HeaderReader::read_slice(const NalUnit& unit, bool through_marking) {
    SliceFacts facts;
    facts.has_slice = true;
    facts.idr = unit.type() == kSliceIdr;
    try {
        RbspReader reader(unit, through_marking ? kSliceHeaderBytes : kSliceStructureBytes);
        reader.unsigned_code();  // first macroblock
        const uint32_t slice_type = reader.unsigned_code() % 5;
        const uint32_t picture_id = reader.unsigned_code();
        if (picture_id >= pictures_.size() || !pictures_[picture_id].valid ||
            !sequences_[pictures_[picture_id].sequence].valid) {
            return facts;
        }
        const Picture& picture = pictures_[picture_id];
        const Sequence& sequence = sequences_[picture.sequence];
        if (!first_crop_) {
            first_crop_ = sequence.crop;
        }
        if (sequence.separate_colour_planes) {
            reader.bits(2);
        }
        reader.bits(sequence.frame_num_bits);
        bool field = false;
        facts.structure = AV_PICTURE_STRUCTURE_FRAME;
        if (!sequence.frame_mbs_only) {
            field = reader.flag();
            if (field) {
                facts.structure = reader.flag() ? AV_PICTURE_STRUCTURE_BOTTOM_FIELD : AV_PICTURE_STRUCTURE_TOP_FIELD;
            }
        }
        facts.header_read = true;
        if (!through_marking) {
            return facts;
        }
        if (facts.idr) {
            reader.unsigned_code();
        }
        if (sequence.order_count_type == 0) {
            reader.bits(sequence.order_count_lsb_bits);
            if (picture.bottom_field_order_present && !field) {
                reader.signed_code();
            }
        } else if (sequence.order_count_type == 1 && !sequence.delta_order_always_zero) {
            reader.signed_code();
            if (picture.bottom_field_order_present && !field) {
                reader.signed_code();
            }
        }
        if (picture.redundant_count_present) {
            reader.unsigned_code();
        }
        const bool bipredicted = slice_type == kB;
        if (bipredicted) {
            reader.flag();  // direct spatial prediction
        }
        uint32_t references_l0 = picture.default_references[0];
        uint32_t references_l1 = picture.default_references[1];
        if (slice_type == kP || slice_type == kSP || bipredicted) {
            if (reader.flag()) {
                references_l0 = reader.unsigned_code() + 1;
                if (bipredicted) {
                    references_l1 = reader.unsigned_code() + 1;
                }
            }
        }
        if (slice_type != kI && slice_type != kSI) {
            skip_list_modification(reader);
            if (bipredicted) {
                skip_list_modification(reader);
            }
        }
        if ((picture.weighted_prediction && (slice_type == kP || slice_type == kSP)) ||
            (picture.weighted_bipred == 1 && bipredicted)) {
            skip_weight_table(reader, sequence, references_l0, references_l1, bipredicted);
        }
        if (unit.ref_idc() != 0) {
            if (facts.idr) {
                reader.bits(2);
            } else if (reader.flag()) {
                facts.memory_reset = marks_memory_reset(reader);
            }
        }
    } catch (const RbspReader::Exhausted&) {
        // A slice cut short or damaged before its marking: read as marking nothing.
    }
    return facts;
}
