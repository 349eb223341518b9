#include "index/presentation_order.hpp"

#include <utility>

PresentationOrderReader::PresentationOrderReader(const AVCodecParameters* codecpar, bool with_order_counts)
    : headers_(*codecpar) {
    if (codecpar->codec_id != AV_CODEC_ID_H264) {
        return;
    }
    readable_ = true;
    if (!with_order_counts) {
        return;
    }
    ParserHandle parser(av_parser_init(codecpar->codec_id));
    CodecContextHandle parser_context(avcodec_alloc_context3(nullptr));
    if (!parser || !parser_context || avcodec_parameters_to_context(parser_context.get(), codecpar) < 0) {
        readable_ = false;
        return;
    }
    // Every packet the demuxer delivers holds whole pictures: parse each on its own.
    parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
    parser_ = std::move(parser);
    parser_context_ = std::move(parser_context);
}

PictureOrder PresentationOrderReader::read(const AVPacket& packet) {
    if (parser_) {
        return read_order_counts(packet);
    }
    PictureOrder order;
    const SliceFacts facts = headers_.read(packet, false);
    order.has_picture = facts.header_read;
    order.lacks_picture = facts.readable && !facts.has_slice;
    order.idr = order.has_picture && facts.idr;
    order.is_key = order.idr;
    order.structure = facts.structure;
    return order;
}

// The parser's result is the length of input it consumed, always the whole packet with
// PARSER_FLAG_COMPLETE_FRAMES; what it read is in the parser's fields.
PictureOrder PresentationOrderReader::read_order_counts(const AVPacket& packet) {
    PictureOrder order;
    if (packet.size <= 0) {
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
    const SliceFacts facts = headers_.read(packet, true);
    order.lacks_picture = !order.has_picture && facts.readable && !facts.has_slice;
    order.idr = order.has_picture && facts.idr;
    order.memory_reset = order.has_picture && facts.memory_reset;
    return order;
}
