#include "syntax/slice_syntax_header.hpp"

#include "h264/nal_units.hpp"

namespace {

void read_order_count(BitReader& reader, SliceSyntaxHeader& header) {
    const SequenceSyntax& sequence = *header.sequence;
    const bool bottom_delta = header.picture->bottom_field_order_present && !header.field;
    if (sequence.order_count_type == 0) {
        header.order_lsb = static_cast<int32_t>(reader.read(sequence.order_count_lsb_bits));
        header.bottom_order_offset = bottom_delta ? reader.se() : 0;
    } else if (sequence.order_count_type == 1) {
        header.bottom_order_offset = header.field ? 0 : sequence.top_to_bottom_offset;
        if (!sequence.delta_order_always_zero) {
            header.order_delta = reader.se();
            header.bottom_order_offset += bottom_delta ? reader.se() : 0;
        }
    }
}

void read_references(BitReader& reader, SliceSyntaxHeader& header) {
    header.references = header.picture->default_references;
    if (header.kind == kSliceP || header.kind == kSliceSP || header.kind == kSliceB) {
        if (reader.flag()) {
            header.references[0] = static_cast<int>(reader.ue()) + 1;
            if (header.kind == kSliceB) {
                header.references[1] = static_cast<int>(reader.ue()) + 1;
            }
        }
    }
    // Fields reference twice the frames, and the count coded is of fields then.
    const int most = header.field ? 32 : 16;
    if (header.kind != kSliceB) {
        header.references[1] = 0;
    }
    if (header.references[0] > most || header.references[1] > most) {
        header.references = {0, 0};
    }
}

// From dec_ref_pic_marking() on.
void read_tail(BitReader& reader, SliceSyntaxHeader& header) {
    const PictureSyntax& picture = *header.picture;
    if (picture.cabac && header.kind != kSliceI && header.kind != kSliceSI) {
        header.cabac_init_idc = static_cast<int>(reader.ue());
    }
    header.qp = picture.init_qp + reader.se();
    if (header.kind == kSliceSP || header.kind == kSliceSI) {
        if (header.kind == kSliceSP) {
            reader.flag();
        }
        reader.se();
    }
    if (picture.deblocking_control) {
        header.disable_deblocking = static_cast<int>(reader.ue());
        if (header.disable_deblocking != 1) {
            header.alpha_offset = reader.se() * 2;
            header.beta_offset = reader.se() * 2;
        }
    }
}

}  // namespace

int32_t second_field_order_difference(const SliceSyntaxHeader& first, const SliceSyntaxHeader& second,
                                      const SequenceSyntax& sequence) {
    if (sequence.order_count_type == 0) {
        const int32_t range = int32_t{1} << sequence.order_count_lsb_bits;
        const int32_t difference = second.order_lsb - first.order_lsb;
        return difference <= -range / 2 ? difference + range : difference > range / 2 ? difference - range : difference;
    }
    if (sequence.order_count_type == 1) {
        const int32_t bottom = second.bottom_field ? sequence.top_to_bottom_offset : -sequence.top_to_bottom_offset;
        return second.order_delta - first.order_delta + (second.bottom_field != first.bottom_field ? bottom : 0);
    }
    return 0;
}

const char* read_slice_syntax_header(BitReader& reader, int nal_type, int ref_idc, const SyntaxParameterSets& sets,
                                     SliceSyntaxHeader& header) {
    header = SliceSyntaxHeader{};
    header.nal_type = nal_type;
    header.ref_idc = ref_idc;
    header.first_mb = reader.ue();
    const uint32_t slice_type = reader.ue();
    header.kind = static_cast<int>(slice_type % 5);
    const uint32_t picture_id = reader.ue();
    if (slice_type > 9 || picture_id >= sets.pictures.size() || !sets.pictures[picture_id].valid ||
        !sets.sequences[sets.pictures[picture_id].sequence].valid) {
        return "the slice's parameter sets are missing";
    }
    header.picture = &sets.pictures[picture_id];
    header.sequence = &sets.sequences[header.picture->sequence];
    const SequenceSyntax& sequence = *header.sequence;
    if (header.picture->slice_groups > 1) {
        return "slice groups (FMO) are not parsed";
    }
    if (sequence.separate_colour_planes) {
        header.colour_plane = static_cast<int>(reader.read(2));
    }
    header.frame_num = reader.read(sequence.frame_num_bits);
    if (!sequence.frame_mbs_only) {
        header.field = reader.flag();
        if (header.field) {
            header.bottom_field = reader.flag();
        }
    }
    header.mbaff = sequence.mb_adaptive_frame_field && !header.field;
    if (nal_type == kSliceIdr) {
        reader.ue();  // idr_pic_id
    }
    read_order_count(reader, header);
    if (header.picture->redundant_count_present && reader.ue() != 0) {
        return "redundant pictures are not parsed";
    }
    if (header.kind == kSliceB) {
        header.direct_spatial = reader.flag();
    }
    read_references(reader, header);
    if (header.references[0] == 0) {
        return "the slice header is damaged";
    }
    if (header.kind != kSliceI && header.kind != kSliceSI) {
        if (!read_list_modifications(reader, header.kind == kSliceB ? 2 : 1, header.modifications)) {
            return "the slice header is damaged";
        }
    }
    if ((header.picture->weighted_prediction && (header.kind == kSliceP || header.kind == kSliceSP)) ||
        (header.picture->weighted_bipred == 1 && header.kind == kSliceB)) {
        read_weight_table(reader, header.kind == kSliceB ? 2 : 1, header.references,
                          sequence.chroma_array_type() != 0, header.weights);
    }
    if (ref_idc != 0 && !read_marking(reader, nal_type == kSliceIdr, header.marking)) {
        return "the slice header is damaged";
    }
    read_tail(reader, header);
    const int total_mbs = sequence.width_mbs * sequence.height_mbs / (header.field ? 2 : 1);
    if (reader.overrun() || header.cabac_init_idc > 2 || header.qp < -6 * (sequence.bit_depth_luma - 8) ||
        header.qp > 51 || header.first_mb * (header.mbaff ? 2 : 1) >= static_cast<uint32_t>(total_mbs)) {
        return "the slice header is damaged";
    }
    return "";
}
