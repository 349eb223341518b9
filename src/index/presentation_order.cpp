#include "index/presentation_order.hpp"

#include <algorithm>
#include <tuple>
#include <utility>

PresentationOrderReader::PresentationOrderReader(const AVCodecParameters* codecpar) {
    if (codecpar->codec_id != AV_CODEC_ID_H264) {
        return;
    }
    ParserHandle parser(av_parser_init(codecpar->codec_id));
    CodecContextHandle parser_context(avcodec_alloc_context3(nullptr));
    if (!parser || !parser_context || avcodec_parameters_to_context(parser_context.get(), codecpar) < 0) {
        return;
    }
    // Every packet the demuxer delivers holds whole pictures: parse each on its own.
    parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
    parser_ = std::move(parser);
    parser_context_ = std::move(parser_context);
}

// The parser's result is the length of input it consumed, always the whole packet with
// PARSER_FLAG_COMPLETE_FRAMES; what it read is in the parser's fields.
PictureOrder PresentationOrderReader::read(const AVPacket& packet) {
    PictureOrder order;
    if (!parser_ || packet.size <= 0) {
        return order;
    }
    uint8_t* out = nullptr;
    int out_size = 0;
    av_parser_parse2(parser_.get(), parser_context_.get(), &out, &out_size, packet.data, packet.size, AV_NOPTS_VALUE,
                     AV_NOPTS_VALUE, -1);
    // The picture structure is known only once a slice header has been read: a packet of
    // parameter sets or SEI alone leaves it unknown (the picture type would read I).
    order.has_picture = parser_->picture_structure != AV_PICTURE_STRUCTURE_UNKNOWN;
    order.is_key = order.has_picture && parser_->key_frame == 1;
    order.poc = parser_->output_picture_number;
    order.structure = parser_->picture_structure;
    return order;
}

namespace {

bool is_field(AVPictureStructure structure) {
    return structure == AV_PICTURE_STRUCTURE_TOP_FIELD || structure == AV_PICTURE_STRUCTURE_BOTTOM_FIELD;
}

}  // namespace

std::vector<int64_t> number_in_presentation_order(const std::vector<PictureOrder>& pictures) {
    // (group, picture order count, position in file order) of each packet that makes a frame.
    std::vector<std::tuple<int64_t, int32_t, std::size_t>> frames;
    frames.reserve(pictures.size());
    int64_t group = 0;
    const PictureOrder* unpaired_field = nullptr;
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        const PictureOrder& picture = pictures[i];
        if (!picture.has_picture) {
            continue;
        }
        // The second field of a pair completes the picture its first field began.
        if (unpaired_field && is_field(picture.structure) && picture.structure != unpaired_field->structure &&
            !picture.is_key) {
            unpaired_field = nullptr;
            continue;
        }
        unpaired_field = is_field(picture.structure) ? &picture : nullptr;
        if (picture.is_key && !frames.empty()) {
            ++group;
        }
        frames.emplace_back(group, picture.poc, i);
    }
    // The decoder outputs nothing before the first key picture it meets: a stream that
    // begins with pictures predicted from missing ones shows them to no one, and neither the
    // leading pictures of the open GOP's recovery point it begins with.
    const auto first_key = std::find_if(frames.begin(), frames.end(), [&](const auto& frame) {
        return pictures[std::get<2>(frame)].is_key;
    });
    if (first_key == frames.end()) {
        return std::vector<int64_t>(pictures.size(), AV_NOPTS_VALUE);
    }
    const auto shown_from = std::make_pair(std::get<0>(*first_key), std::get<1>(*first_key));
    std::sort(frames.begin(), frames.end());

    std::vector<int64_t> numbers(pictures.size(), AV_NOPTS_VALUE);
    int64_t number = 0;
    for (const auto& [group, poc, packet] : frames) {
        if (std::make_pair(group, poc) >= shown_from) {
            numbers[packet] = number++;
        }
    }
    return numbers;
}
