#include "index/presentation_order.hpp"

PresentationOrderReader::PresentationOrderReader(const AVCodecParameters* codecpar, bool with_order_counts)
    : with_order_counts_(with_order_counts) {
    if (codecpar->codec_id == AV_CODEC_ID_H264) {
        headers_.emplace(*codecpar, with_order_counts);
    }
}

std::optional<CodedWindow> PresentationOrderReader::first_window() const {
    return headers_ ? headers_->first_window() : std::nullopt;
}

PictureOrder PresentationOrderReader::read(const AVPacket& packet) {
    PictureOrder order;
    if (!headers_) {
        return order;
    }
    const SliceFacts facts = headers_->read(packet);
    order.has_picture = facts.header_read;
    order.lacks_picture = facts.readable && !facts.has_slice;
    order.idr = facts.idr;
    order.bipredicted = facts.bipredicted;
    order.memory_reset = facts.memory_reset;
    order.poc = facts.order_count;
    order.structure = facts.structure;
    return order;
}
