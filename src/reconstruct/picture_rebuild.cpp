#include <algorithm>

#include "frame/mb_type_map.hpp"
#include "reconstruct/field_pictures.hpp"
#include "reconstruct/inter_macroblock.hpp"
#include "reconstruct/intra_macroblock.hpp"
#include "reconstruct/macroblock_residual.hpp"
#include "reconstruct/macroblock_rows.hpp"
#include "reconstruct/rebuilt_picture.hpp"
#include "reconstruct/reference_frames.hpp"
#include "reconstruct/reference_lists.hpp"

namespace {

// Sizes the planes as the levels' and clears what is asked for, reusing the memory.
void reset(const FrameSyntax& syntax, RebuiltPicture& picture, bool with_prediction) {
    for (int plane = 0; plane < 3; ++plane) {
        picture.width[plane] = syntax.coefficients.width[plane];
        picture.height[plane] = syntax.coefficients.height[plane];
        const std::size_t samples = static_cast<std::size_t>(picture.width[plane]) * picture.height[plane];
        picture.residual[plane].assign(samples, 0);
        picture.prediction[plane].assign(with_prediction ? samples : 0, 0);
        picture.samples[plane].assign(with_prediction ? samples : 0, 0);
    }
}

bool is_intra(const MbSyntaxRecord& mb) { return mb.type <= static_cast<uint8_t>(MbType::IntraPcm); }

void require_parsed(const FrameSyntax& syntax) {
    for (const MbSyntaxRecord& mb : syntax.coded_records) {
        if (!mb.parsed) {
            throw std::runtime_error("Macroblocks of the frame could not be parsed: its prediction is not rebuilt");
        }
    }
}

ResidualPlanes planes_of(RebuiltPicture& picture) {
    return {{picture.residual[0].data(), picture.residual[1].data(), picture.residual[2].data()}};
}

// The residual of a frame or of one field (field_syntax).
void rebuild_coded_residual(const FrameSyntax& syntax, const ResidualPlanes& target) {
    MacroblockResidual residual(syntax, target);
    for (std::size_t i = 0; i < syntax.coded_records.size(); ++i) {
        const auto [mb_x, mb_y] = decoding_place(i, syntax.coded_cols, false);
        residual.rebuild(mb_x, mb_y, syntax.coded_records[i]);
    }
}

// The residual, prediction and samples of a frame or of one field of the frame `frame`, with
// its motion field in `field`; of a second field, `first_field` holds the first's.
void rebuild_coded_picture(const FrameSyntax& syntax, int32_t frame, const std::shared_ptr<const StreamIndex>& index,
                           const SyntaxSource& source, RebuiltPicture& picture, std::vector<MotionRecord>& field,
                           const std::vector<MotionRecord>* first_field = nullptr) {
    reset(syntax, picture, true);
    require_parsed(syntax);
    const bool all_intra = std::all_of(syntax.coded_records.begin(), syntax.coded_records.end(), is_intra);
    field.clear();
    std::vector<SliceLists> frame_lists;
    if (!all_intra) {
        field.resize(syntax.coded_records.size() * 16);
        build_picture_motion_field(syntax, source, field.data(), nullptr, first_field);
        frame_lists = reference_lists(syntax, frame);
    }
    const DecodedReferences references(index, syntax, frame_lists);
    MacroblockResidual residual(syntax, planes_of(picture));
    IntraMacroblock intra(syntax, picture);
    InterMacroblock inter(syntax, picture, field, references, frame_lists);
    const bool mbaff = is_mbaff_frame(syntax);
    for (std::size_t address = 0; address < syntax.coded_records.size(); ++address) {
        // Intra macroblocks predict from their neighbours as decoded, in decoding order.
        const auto [mb_x, mb_y] = decoding_place(address, syntax.coded_cols, mbaff);
        const MbSyntaxRecord& mb = syntax.coded_records[static_cast<std::size_t>(mb_y) * syntax.coded_cols + mb_x];
        residual.rebuild(mb_x, mb_y, mb);
        if (is_intra(mb)) {
            intra.rebuild(mb_x, mb_y, mb);
        } else {
            inter.rebuild(mb_x, mb_y, mb);
        }
    }
}

}  // namespace

void require_rebuildable(const FrameSyntax& syntax) {
    if (syntax.coded_records.empty() || syntax.coded_cols == 0) {
        throw std::runtime_error("The frame's syntax could not be read: nothing to rebuild");
    }
}

void rebuild_residual(const FrameSyntax& syntax, RebuiltPicture& picture) {
    reset(syntax, picture, false);
    rebuild_residual(syntax, planes_of(picture));
}

void rebuild_residual(const FrameSyntax& syntax, const ResidualPlanes& target) {
    require_rebuildable(syntax);
    if (!holds_fields(syntax)) {
        rebuild_coded_residual(syntax, target);
        return;
    }
    RebuiltPicture field;
    for (int parity = 0; parity < 2; ++parity) {
        const FrameSyntax one = field_syntax(syntax, parity);
        reset(one, field, false);
        rebuild_coded_residual(one, planes_of(field));
        place_field_residual(field, parity, target);
    }
}

void rebuild_picture(const FrameSyntax& syntax, int32_t frame, const std::shared_ptr<const StreamIndex>& index,
                     const SyntaxSource& source, RebuiltPicture& picture) {
    require_rebuildable(syntax);
    if (!holds_fields(syntax)) {
        std::vector<MotionRecord> field;
        rebuild_coded_picture(syntax, frame, index, source, picture, field);
        return;
    }
    // Each field in decoding order, placed on the frame's rows of its parity.
    reset(syntax, picture, true);
    const int first = first_field_parity(syntax);
    RebuiltPicture field;
    std::vector<MotionRecord> first_motion;
    std::vector<MotionRecord> second_motion;
    rebuild_coded_picture(field_syntax(syntax, first), frame, index, source, field, first_motion);
    place_field(field, first, picture);
    // An intra first field has no motion field; its blocks are intra to direct prediction.
    if (first_motion.empty()) {
        first_motion.assign(syntax.coded_records.size() * 8, MotionRecord{});
    }
    rebuild_coded_picture(field_syntax(syntax, 1 - first), frame, index, source, field, second_motion, &first_motion);
    place_field(field, 1 - first, picture);
}
