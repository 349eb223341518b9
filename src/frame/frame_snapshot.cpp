#include "frame/frame_snapshot.hpp"

#include <algorithm>
#include <stdexcept>

#include "ffmpeg/cropping.hpp"
#include "frame/macroblock_placement.hpp"
#include "frame/motion_vectors.hpp"
#include "frame/qp_scale.hpp"

extern "C" {
#include <libavutil/pixdesc.h>
#include <libavutil/video_enc_params.h>
}

namespace {

constexpr int8_t kNoQp = -1;
constexpr int kMacroblockSize = 16;

int32_t ceil_shift(int32_t value, int shift) { return -((-value) >> shift); }

// A reference to the frame's pixel buffers only, cropped as the decoder would have cropped
// them: its side data is read into the snapshot right away and would otherwise stay
// allocated for as long as the snapshot is cached.
std::shared_ptr<AVFrame> share_pixels(const AVFrame* frame, CropOffsets& crop) {
    std::shared_ptr<AVFrame> picture(av_frame_alloc(), [](AVFrame* held) { av_frame_free(&held); });
    if (!picture || av_frame_ref(picture.get(), frame) < 0) {
        throw std::bad_alloc();
    }
    while (picture->nb_side_data > 0) {
        av_frame_remove_side_data(picture.get(), picture->side_data[0]->type);
    }
    crop = crop_as_decoder_would(*picture);
    return picture;
}

// Where the picture lies in the coded one, without touching its buffers.
CropOffsets crop_without_pixels(const AVFrame* frame) {
    const CodedWindow window{frame->width,
                             frame->height,
                             static_cast<int32_t>(frame->crop_left),
                             static_cast<int32_t>(frame->crop_right),
                             static_cast<int32_t>(frame->crop_top),
                             static_cast<int32_t>(frame->crop_bottom)};
    const bool cropped = window.left || window.right || window.top || window.bottom;
    const std::optional<CropOffsets> offsets =
        cropped ? predict_decoder_crop(static_cast<AVPixelFormat>(frame->format), window) : std::nullopt;
    return offsets.value_or(CropOffsets{frame->width, frame->height, 0, 0});
}

void share_planes(std::shared_ptr<AVFrame> picture, const AVPixFmtDescriptor* desc, FrameSnapshot& snapshot) {
    snapshot.picture = std::move(picture);
    std::size_t blank_size = 0;
    for (int p = 0; p < snapshot.readable_planes(); ++p) {
        if (snapshot.picture->linesize[p] < 0) {
            throw std::runtime_error("Unsupported bottom-up picture layout");
        }
        snapshot.linesize[p] = snapshot.picture->linesize[p];
        snapshot.plane_width[p] = p == 0 ? snapshot.width : ceil_shift(snapshot.width, desc->log2_chroma_w);
        snapshot.plane_height[p] =
            p == 0 ? snapshot.height : ceil_shift(snapshot.height, desc->log2_chroma_h);
        snapshot.planes[p] = snapshot.picture->data[p];
        if (!snapshot.planes[p]) {
            blank_size = std::max(blank_size, snapshot.plane_size(p));
        }
    }
    if (blank_size > 0) {
        snapshot.blank.assign(blank_size, 0);
        for (int p = 0; p < snapshot.readable_planes(); ++p) {
            snapshot.planes[p] = snapshot.planes[p] ? snapshot.planes[p] : snapshot.blank.data();
        }
    }
}

int8_t clamp_qp(int32_t qp, int32_t delta_qp, int max_qp) {
    // The sum wraps to 8 bits first, as the map's storage type does, then is clamped.
    const auto wrapped = static_cast<int8_t>(static_cast<uint8_t>((static_cast<int64_t>(qp) + delta_qp) & 0xFF));
    if (wrapped < 0) {
        return 0;
    }
    return wrapped > max_qp ? static_cast<int8_t>(max_qp) : wrapped;
}

// The block count, but never more blocks than the bytes that came with it can hold.
unsigned int blocks_within(const AVFrameSideData& side_data, const AVVideoEncParams& params) {
    const std::size_t block_bytes = sizeof(AVVideoBlockParams);
    if (params.nb_blocks == 0 || params.block_size == 0 || side_data.size < params.blocks_offset + block_bytes) {
        return 0;
    }
    const std::size_t fitting = (side_data.size - params.blocks_offset - block_bytes) / params.block_size + 1;
    return fitting < params.nb_blocks ? static_cast<unsigned int>(fitting) : params.nb_blocks;
}

void fill_qp_map(const AVFrame* frame, const MacroblockPlacement& placement, FrameSnapshot& snapshot) {
    const AVFrameSideData* side_data = av_frame_get_side_data(frame, AV_FRAME_DATA_VIDEO_ENC_PARAMS);
    if (!side_data || side_data->size < sizeof(AVVideoEncParams)) {
        return;
    }
    auto* params = reinterpret_cast<AVVideoEncParams*>(side_data->data);
    const QpScale scale = qp_scale_of(params->type);
    if (scale == QpScale::None) {
        return;
    }
    snapshot.chroma_qp_offset_cb = params->delta_qp[1][0];
    snapshot.chroma_qp_offset_cr = params->delta_qp[2][0];
    // The decoder's QP table is recycled from picture to picture, and where it concealed
    // damaged macroblocks it wrote none: those keep an earlier picture's values. Which blocks
    // those are is not exported, so a damaged picture has no QP map at all.
    if (frame->decode_error_flags != 0) {
        return;
    }

    const unsigned int nb_blocks = blocks_within(*side_data, *params);

    for (unsigned int i = 0; i < nb_blocks; ++i) {
        const AVVideoBlockParams* block = av_video_enc_params_block(params, i);
        const int cell_w = block->w > 0 ? block->w : kMacroblockSize;
        const int cell_h = block->h > 0 ? block->h : kMacroblockSize;
        if (const auto cell = placement.cell_of(block->src_x / cell_w, block->src_y / cell_h)) {
            snapshot.qp_map[*cell] = clamp_qp(params->qp, block->delta_qp, max_qp(scale));
        }
    }
}

}  // namespace

// The decoder leaves its pictures whole (AVCodecContext.apply_cropping 0): the snapshot crops
// them as the decoder would have, and learns on the way where the picture lies in the coded
// one, which the QP map, the macroblock types and the motion vectors are laid out by.
std::shared_ptr<FrameSnapshot> build_frame_snapshot(const AVFrame* frame, int64_t pts, bool with_pixels,
                                                const MbTypeRows& mb_types) {
    auto snapshot = std::make_shared<FrameSnapshot>();
    snapshot->pts = pts;

    const auto format = static_cast<AVPixelFormat>(frame->format);
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    if (desc) {
        snapshot->pix_fmt = desc->name;
        snapshot->bytes_per_sample = desc->comp[0].depth > 8 ? 2 : 1;
    } else {
        snapshot->pix_fmt = "yuv420p";
        snapshot->bytes_per_sample = 1;
    }
    snapshot->nb_planes = av_pix_fmt_count_planes(format);
    snapshot->has_pixels = with_pixels;

    CropOffsets crop;
    std::shared_ptr<AVFrame> picture;
    if (desc && with_pixels) {
        picture = share_pixels(frame, crop);
    } else {
        crop = crop_without_pixels(frame);
    }
    snapshot->width = crop.width;
    snapshot->height = crop.height;
    snapshot->crop_left = crop.left;
    snapshot->crop_top = crop.top;
    const MacroblockPlacement placement = macroblock_placement(crop);
    snapshot->mb_cols = placement.cols;
    snapshot->mb_rows = placement.rows;
    if (picture) {
        share_planes(std::move(picture), desc, *snapshot);
    }

    if (snapshot->mb_rows > 0 && snapshot->mb_cols > 0) {
        snapshot->qp_map.assign(static_cast<std::size_t>(snapshot->mb_rows) * snapshot->mb_cols, kNoQp);
    }
    fill_qp_map(frame, placement, *snapshot);
    snapshot->mb_types = read_mb_type_map(mb_types, *frame, placement);
    snapshot->kind = read_picture_kind(*frame);
    snapshot->motion_vectors = read_motion_vectors(*frame);
    return snapshot;
}
