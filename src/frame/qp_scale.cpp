#include "frame/qp_scale.hpp"

QpScale qp_scale_of(AVCodecID codec) {
    switch (codec) {
        case AV_CODEC_ID_H264:
            return QpScale::H264;
        // FFmpeg's MPEG video decoders (mpeg12dec, h263dec, rv10, rv34) export their
        // quantiser table through ff_mpv_export_qp_table.
        case AV_CODEC_ID_MPEG1VIDEO:
        case AV_CODEC_ID_MPEG2VIDEO:
        case AV_CODEC_ID_MPEG4:
        case AV_CODEC_ID_H263:
        case AV_CODEC_ID_H263P:
        case AV_CODEC_ID_H263I:
        case AV_CODEC_ID_FLV1:
        case AV_CODEC_ID_MSMPEG4V1:
        case AV_CODEC_ID_MSMPEG4V2:
        case AV_CODEC_ID_MSMPEG4V3:
        case AV_CODEC_ID_WMV1:
        case AV_CODEC_ID_WMV2:
        case AV_CODEC_ID_RV10:
        case AV_CODEC_ID_RV20:
        case AV_CODEC_ID_RV30:
        case AV_CODEC_ID_RV40:
            return QpScale::Mpeg2;
        default:
            return QpScale::None;
    }
}

QpScale qp_scale_of(AVVideoEncParamsType type) {
    switch (type) {
        case AV_VIDEO_ENC_PARAMS_H264:
            return QpScale::H264;
        case AV_VIDEO_ENC_PARAMS_MPEG2:
            return QpScale::Mpeg2;
        default:
            return QpScale::None;
    }
}

std::optional<std::string> qp_scale_name(QpScale scale) {
    switch (scale) {
        case QpScale::H264:
            return "h264";
        case QpScale::Mpeg2:
            return "mpeg2";
        case QpScale::None:
            break;
    }
    return std::nullopt;
}

// MPEG-2's non-linear quantiser table ends at 112.
int max_qp(QpScale scale) { return scale == QpScale::Mpeg2 ? 112 : 63; }
