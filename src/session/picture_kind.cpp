#include "picture_kind.hpp"

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/version.h>
}

PictureKind picture_kind(const AVFrame& frame) {
    PictureKind kind;
    kind.type = av_get_picture_type_char(frame.pict_type);
    // FFmpeg 6.1 moved the key flag into `flags` and later releases drop the old field.
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(58, 7, 100)
    kind.key = (frame.flags & AV_FRAME_FLAG_KEY) != 0;
#else
    kind.key = frame.key_frame != 0;
#endif
    return kind;
}
