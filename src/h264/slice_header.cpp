#include "h264/slice_header.hpp"

#include "h264/nal_units.hpp"
#include "h264/rbsp_reader.hpp"

namespace {

// Enough of a slice for its header whatever the reference lists and weight tables hold, and
// for its first fields up to the picture structure.
constexpr int kHeaderBytes = 1024;
constexpr int kStructureBytes = 32;
// Lists of modifications and marking operations are short; a longer one is damage.
constexpr int kLongestOperationList = 100;

enum SliceType { kP = 0, kB = 1, kI = 2, kSP = 3, kSI = 4 };

void skip_list_modification(RbspReader& reader) {
    if (!reader.flag()) {
        return;
    }
    for (int i = 0; i < kLongestOperationList; ++i) {
        if (reader.unsigned_code() == 3) {
            return;
        }
        reader.unsigned_code();
    }
    throw RbspReader::Exhausted();
}

void skip_weight_table(RbspReader& reader, const SequenceParameters& sequence, uint32_t references_l0,
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

// Whether the marking holds operation 5. Operation 3 carries two fields, 1, 2, 4 and 6 one.
bool marks_memory_reset(RbspReader& reader) {
    for (int i = 0; i < kLongestOperationList; ++i) {
        switch (reader.unsigned_code()) {
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
    throw RbspReader::Exhausted();
}

void read_order_count_fields(RbspReader& reader, const SequenceParameters& sequence,
                             const PictureParameters& picture, SliceHeader& header) {
    const bool field = header.structure != AV_PICTURE_STRUCTURE_FRAME;
    if (sequence.order_count_type == 0) {
        header.order_count_lsb = reader.bits(sequence.order_count_lsb_bits);
        if (picture.bottom_field_order_present && !field) {
            header.delta_order_bottom = reader.signed_code();
        }
    } else if (sequence.order_count_type == 1 && !sequence.delta_order_always_zero) {
        header.delta_order[0] = reader.signed_code();
        if (picture.bottom_field_order_present && !field) {
            header.delta_order[1] = reader.signed_code();
        }
    }
}

// What follows the order count, as far as the marking: lists, weights, then the marking.
void read_marking(RbspReader& reader, uint32_t slice_type, const SequenceParameters& sequence,
                  const PictureParameters& picture, SliceHeader& header) {
    if (picture.redundant_count_present) {
        reader.unsigned_code();
    }
    if (header.bipredicted) {
        reader.flag();  // direct spatial prediction
    }
    uint32_t references_l0 = picture.default_references[0];
    uint32_t references_l1 = picture.default_references[1];
    if ((slice_type == kP || slice_type == kSP || header.bipredicted) && reader.flag()) {
        references_l0 = reader.unsigned_code() + 1;
        if (header.bipredicted) {
            references_l1 = reader.unsigned_code() + 1;
        }
    }
    if (slice_type != kI && slice_type != kSI) {
        skip_list_modification(reader);
        if (header.bipredicted) {
            skip_list_modification(reader);
        }
    }
    if ((picture.weighted_prediction && (slice_type == kP || slice_type == kSP)) ||
        (picture.weighted_bipred == 1 && header.bipredicted)) {
        skip_weight_table(reader, sequence, references_l0, references_l1, header.bipredicted);
    }
    if (header.reference) {
        if (header.idr) {
            reader.bits(2);
        } else if (reader.flag()) {
            header.memory_reset = marks_memory_reset(reader);
        }
    }
}

}  // namespace

bool read_slice_header(const NalUnit& unit, const ParameterSets& sets, bool through_marking, SliceHeader& header) {
    header = SliceHeader{};
    header.idr = unit.type() == kSliceIdr;
    header.reference = unit.ref_idc() != 0;
    try {
        RbspReader reader(unit, through_marking ? kHeaderBytes : kStructureBytes);
        reader.unsigned_code();  // first macroblock
        const uint32_t slice_type = reader.unsigned_code() % 5;
        header.bipredicted = slice_type == kB;
        const uint32_t picture_id = reader.unsigned_code();
        if (picture_id >= sets.pictures.size() || !sets.pictures[picture_id].valid ||
            !sets.sequences[sets.pictures[picture_id].sequence].valid) {
            return false;
        }
        const PictureParameters& picture = sets.pictures[picture_id];
        const SequenceParameters& sequence = sets.sequences[picture.sequence];
        header.sequence = &sequence;
        if (sequence.separate_colour_planes) {
            reader.bits(2);
        }
        header.frame_num = reader.bits(sequence.frame_num_bits);
        if (!sequence.frame_mbs_only && reader.flag()) {
            header.structure = reader.flag() ? AV_PICTURE_STRUCTURE_BOTTOM_FIELD : AV_PICTURE_STRUCTURE_TOP_FIELD;
        }
        if (!through_marking) {
            return true;
        }
        if (header.idr) {
            reader.unsigned_code();  // idr_pic_id
        }
        read_order_count_fields(reader, sequence, picture, header);
        try {
            read_marking(reader, slice_type, sequence, picture, header);
        } catch (const RbspReader::Exhausted&) {
            // Damage after the order count: the picture is placed, its marking read as none.
            header.memory_reset = false;
        }
        return true;
    } catch (const RbspReader::Exhausted&) {
        return false;
    }
}
