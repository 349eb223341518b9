#include "syntax/parameter_syntax.hpp"

#include <algorithm>

#include "h264/scan_tables.hpp"

namespace {

constexpr int kSequenceParameterSet = 7;
constexpr int kPictureParameterSet = 8;

bool has_chroma_format_fields(int profile) {
    switch (profile) {
        case 100: case 110: case 122: case 244: case 44: case 83: case 86: case 118: case 128: case 138: case 139:
        case 134: case 135:
            return true;
        default:
            return false;
    }
}

using ScalingLists = std::array<std::array<uint8_t, 64>, 12>;

// Tables 7-3 and 7-4: the default list of list `i` (intra or inter, 4x4 or 8x8).
void fill_default(std::array<uint8_t, 64>& list, int i) {
    const bool intra = i < 6 ? i < 3 : i % 2 == 0;
    const uint8_t* defaults = i < 6 ? (intra ? kDefault4x4Intra : kDefault4x4Inter)
                                    : (intra ? kDefault8x8Intra : kDefault8x8Inter);
    std::copy_n(defaults, i < 6 ? 16 : 64, list.begin());
}

// One scaling list as coded, in scan order; useDefaultScalingMatrixFlag gives the default list.
void read_scaling_list(BitReader& reader, std::array<uint8_t, 64>& list, int i) {
    const int size = i < 6 ? 16 : 64;
    int last = 8;
    int next = 8;
    list.fill(0);
    for (int j = 0; j < size; ++j) {
        if (next != 0) {
            next = (last + reader.se() + 256) % 256;
            if (j == 0 && next == 0) {
                fill_default(list, i);
                return;
            }
        }
        list[j] = static_cast<uint8_t>(next == 0 ? last : next);
        last = list[j];
    }
}

// Table 7-2's fall-back rules for lists not sent: the first list of each kind takes the
// default (rule A) or the sequence's (rule B, `fallback`), the others the list before of
// their kind.
void read_scaling_lists(BitReader& reader, ScalingLists& lists, int count, const ScalingLists* fallback) {
    for (int i = 0; i < count; ++i) {
        if (reader.flag()) {
            read_scaling_list(reader, lists[i], i);
        } else if (i == 0 || i == 3 || i == 6 || i == 7) {
            if (fallback != nullptr) {
                lists[i] = (*fallback)[i];
            } else {
                fill_default(lists[i], i);
            }
        } else {
            lists[i] = lists[i - (i < 6 ? 1 : 2)];
        }
    }
}

void read_chroma_format(BitReader& reader, SequenceSyntax& sequence) {
    sequence.chroma_format = static_cast<int>(reader.ue());
    if (sequence.chroma_format == 3) {
        sequence.separate_colour_planes = reader.flag();
    }
    sequence.bit_depth_luma = static_cast<int>(reader.ue()) + 8;
    sequence.bit_depth_chroma = static_cast<int>(reader.ue()) + 8;
    sequence.transform_bypass = reader.flag();
    sequence.scaling_present = reader.flag();
    if (sequence.scaling_present) {
        read_scaling_lists(reader, sequence.scaling, sequence.chroma_format != 3 ? 8 : 12, nullptr);
    }
}

void read_order_count_fields(BitReader& reader, SequenceSyntax& sequence) {
    sequence.order_count_type = static_cast<int>(reader.ue());
    if (sequence.order_count_type == 0) {
        sequence.order_count_lsb_bits = static_cast<int>(std::min<uint32_t>(reader.ue(), 13)) + 4;
    } else if (sequence.order_count_type == 1) {
        sequence.delta_order_always_zero = reader.flag();
        reader.se();
        sequence.top_to_bottom_offset = reader.se();
        const uint32_t cycle = reader.ue();
        for (uint32_t i = 0; i < cycle && i < 256; ++i) {
            reader.se();
        }
    }
}

// In units of chroma samples horizontally and of chroma rows (of field rows, where fields are
// coded) vertically; a window that leaves no picture is ignored, as FFmpeg ignores it.
void read_window(BitReader& reader, SequenceSyntax& sequence) {
    const int chroma_format = sequence.chroma_array_type();
    const int step_x = chroma_format == 1 || chroma_format == 2 ? 2 : 1;
    const int step_y = (sequence.frame_mbs_only ? 1 : 2) * (chroma_format == 1 ? 2 : 1);
    const int64_t left = int64_t{reader.ue()} * step_x;
    const int64_t right = int64_t{reader.ue()} * step_x;
    const int64_t top = int64_t{reader.ue()} * step_y;
    const int64_t bottom = int64_t{reader.ue()} * step_y;
    CodedWindow& window = sequence.window;
    if (left + right < window.coded_width && top + bottom < window.coded_height) {
        window.left = static_cast<int32_t>(left);
        window.right = static_cast<int32_t>(right);
        window.top = static_cast<int32_t>(top);
        window.bottom = static_cast<int32_t>(bottom);
    }
}

SequenceSyntax read_sequence(BitReader& reader, uint32_t& id) {
    SequenceSyntax sequence;
    for (auto& list : sequence.scaling) {
        list.fill(16);
    }
    sequence.profile = static_cast<int>(reader.read(8));
    reader.read(16);  // constraint flags and level
    id = reader.ue();
    if (has_chroma_format_fields(sequence.profile)) {
        read_chroma_format(reader, sequence);
    }
    sequence.frame_num_bits = static_cast<int>(std::min<uint32_t>(reader.ue(), 13)) + 4;
    read_order_count_fields(reader, sequence);
    sequence.reference_frames = static_cast<int>(reader.ue());
    reader.flag();  // gaps in frame numbers allowed
    const uint32_t width_mbs = reader.ue() + 1;
    const uint32_t height_units = reader.ue() + 1;
    sequence.frame_mbs_only = reader.flag();
    if (!sequence.frame_mbs_only) {
        sequence.mb_adaptive_frame_field = reader.flag();
    }
    sequence.direct_8x8_inference = reader.flag();
    // Larger pictures than 8192x8192 samples are no stream's the parser is asked to read.
    constexpr uint32_t kMostMbs = 512;
    const uint32_t height_mbs = height_units * (sequence.frame_mbs_only ? 1 : 2);
    sequence.width_mbs = static_cast<int>(std::min(width_mbs, kMostMbs + 1));
    sequence.height_mbs = static_cast<int>(std::min(height_mbs, kMostMbs + 1));
    sequence.window.coded_width = sequence.width_mbs * 16;
    sequence.window.coded_height = sequence.height_mbs * 16;
    if (reader.flag()) {
        read_window(reader, sequence);
    }
    sequence.valid = !reader.overrun() && width_mbs <= kMostMbs && height_mbs <= kMostMbs &&
                     sequence.chroma_format <= 3 && sequence.bit_depth_luma <= 14 && sequence.bit_depth_chroma <= 14 &&
                     sequence.order_count_type <= 2;
    return sequence;
}

PictureSyntax read_picture(BitReader& reader, uint32_t& id, const SyntaxParameterSets& sets) {
    PictureSyntax picture;
    id = reader.ue();
    picture.sequence = reader.ue();
    picture.cabac = reader.flag();
    picture.bottom_field_order_present = reader.flag();
    picture.slice_groups = static_cast<int>(std::min<uint32_t>(reader.ue(), 8)) + 1;
    if (picture.slice_groups > 1) {
        // The map is not read: slices of such a picture are refused.
        picture.valid = picture.sequence < 32;
        return picture;
    }
    const SequenceSyntax* sequence = picture.sequence < 32 ? &sets.sequences[picture.sequence] : nullptr;
    picture.default_references = {static_cast<int>(std::min<uint32_t>(reader.ue(), 31)) + 1,
                                  static_cast<int>(std::min<uint32_t>(reader.ue(), 31)) + 1};
    picture.weighted_prediction = reader.flag();
    picture.weighted_bipred = static_cast<int>(reader.read(2));
    picture.init_qp = 26 + reader.se();
    reader.se();  // pic_init_qs
    picture.chroma_qp_offset = reader.se();
    picture.second_chroma_qp_offset = picture.chroma_qp_offset;
    picture.deblocking_control = reader.flag();
    picture.constrained_intra = reader.flag();
    picture.redundant_count_present = reader.flag();
    if (reader.more_rbsp_data()) {
        picture.transform_8x8 = reader.flag();
        picture.scaling_present = reader.flag();
        if (picture.scaling_present) {
            const int chroma_format = sequence != nullptr ? sequence->chroma_format : 1;
            const bool sequence_lists = sequence != nullptr && sequence->scaling_present;
            read_scaling_lists(reader, picture.scaling, 6 + (picture.transform_8x8 ? (chroma_format != 3 ? 2 : 6) : 0),
                               sequence_lists ? &sequence->scaling : nullptr);
        }
        picture.second_chroma_qp_offset = reader.se();
    }
    picture.valid = !reader.overrun() && picture.sequence < 32;
    return picture;
}

}  // namespace

void SyntaxParameterSets::read(int nal_type, const uint8_t* payload, int size) {
    if (nal_type != kSequenceParameterSet && nal_type != kPictureParameterSet) {
        return;
    }
    BitReader reader(payload, size);
    uint32_t id = 0;
    if (nal_type == kSequenceParameterSet) {
        SequenceSyntax sequence = read_sequence(reader, id);
        if (sequence.valid && id < sequences.size()) {
            sequences[id] = sequence;
        }
    } else {
        const PictureSyntax picture = read_picture(reader, id, *this);
        if (picture.valid && id < pictures.size()) {
            pictures[id] = picture;
        }
    }
}
