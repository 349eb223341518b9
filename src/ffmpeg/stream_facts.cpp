#include "ffmpeg/stream_facts.hpp"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace {

bool is_usable_rate(AVRational rate) { return rate.num > 0 && rate.den > 0; }

}  // namespace

StreamFacts read_stream_facts(const AVStream& stream) {
    StreamFacts facts;
    facts.time_base = stream.time_base;

    const AVRational rate = is_usable_rate(stream.avg_frame_rate) ? stream.avg_frame_rate : stream.r_frame_rate;
    if (is_usable_rate(rate)) {
        facts.fps_num = rate.num;
        facts.fps_den = rate.den;
        facts.fps = static_cast<double>(rate.num) / static_cast<double>(rate.den);
    }

    const AVCodecParameters* codecpar = stream.codecpar;
    facts.codec_id = codecpar->codec_id;
    facts.codec = avcodec_get_name(codecpar->codec_id);
    facts.width = codecpar->width;
    facts.height = codecpar->height;
    facts.mb_cols = (facts.width + 15) / 16;
    facts.mb_rows = (facts.height + 15) / 16;

    const auto format = static_cast<AVPixelFormat>(codecpar->format);
    if (const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format)) {
        facts.pixel_format = format;
        facts.pix_fmt = desc->name;
        facts.bytes_per_sample = desc->comp[0].depth > 8 ? 2 : 1;
    }
    return facts;
}
