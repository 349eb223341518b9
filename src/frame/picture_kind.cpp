#include "frame/picture_kind.hpp"

extern "C" {
#include <libavutil/version.h>
}

namespace {

std::string picture_type_name(AVPictureType type) {
    switch (type) {
        case AV_PICTURE_TYPE_I:
            return "I";
        case AV_PICTURE_TYPE_P:
            return "P";
        case AV_PICTURE_TYPE_B:
            return "B";
        case AV_PICTURE_TYPE_S:
            return "S";
        case AV_PICTURE_TYPE_SI:
            return "SI";
        case AV_PICTURE_TYPE_SP:
            return "SP";
        case AV_PICTURE_TYPE_BI:
            return "BI";
        default:
            return "?";
    }
}

bool is_key(const AVFrame& frame) {
    // The key flag moved into the flags word in libavutil 58.7.100; the field it replaced
    // is gone from FFmpeg 8 on.
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(58, 7, 100)
    return (frame.flags & AV_FRAME_FLAG_KEY) != 0;
#else
    return frame.key_frame != 0;
#endif
}

// The corrupt flag is FFmpeg's for a picture decoded from incomplete references, which it
// outputs only where asked to (AV_CODEC_FLAG_OUTPUT_CORRUPT, off here); the error flags say
// what it concealed.
bool is_damaged(const AVFrame& frame) {
    return frame.decode_error_flags != 0 || (frame.flags & AV_FRAME_FLAG_CORRUPT) != 0;
}

}  // namespace

PictureKind read_picture_kind(const AVFrame& frame) {
    PictureKind kind;
    kind.type = picture_type_name(frame.pict_type);
    kind.key = is_key(frame);
    kind.damaged = is_damaged(frame);
    return kind;
}
