#include "syntax/frame_syntax_reader.hpp"

#include <stdexcept>
#include <string>

#include "frame/macroblock_placement.hpp"

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

DemuxerSeeks seeks_of(VideoInput& input) {
    return DemuxerSeeks{[&input](int64_t timestamp) { return input.seek_to_timestamp(timestamp); },
                        [&input](int64_t byte) { return input.seek_to_byte(byte); }};
}

// The reader decodes nothing: what the options ask the decoder to export is not wanted.
SessionOptions without_exports(SessionOptions options) {
    options.motion_vectors = false;
    options.mb_types = false;
    return options;
}

std::vector<int32_t> packets_of_frames(const StreamIndex& index) {
    std::vector<int32_t> packets(static_cast<std::size_t>(index.num_frames()), -1);
    for (std::size_t i = 0; i < index.packets.size(); ++i) {
        if (index.packets[i].pts == AV_NOPTS_VALUE) {
            continue;
        }
        const int32_t frame = index.frames.frame_of_pts(index.packets[i].pts);
        if (frame >= 0 && packets[static_cast<std::size_t>(frame)] < 0) {
            packets[static_cast<std::size_t>(frame)] = static_cast<int32_t>(i);
        }
    }
    return packets;
}

}  // namespace

FrameSyntaxReader::FrameSyntaxReader(std::shared_ptr<const StreamIndex> index, const SessionOptions& options)
    : index_(std::move(index)),
      input_(index_->path, index_->stream, without_exports(options)),
      locator_(index_->packets, index_->frames_from_bitstream, seeks_of(input_)),
      packet_(allocate_packet()),
      frame_packets_(packets_of_frames(*index_)),
      parser_(*input_.video_stream().codecpar) {}

void FrameSyntaxReader::read(int32_t frame, bool with_coefficients, FrameSyntax& result) {
    if (frame < 0 || frame >= index_->num_frames()) {
        throw std::out_of_range("Frame index out of range: " + std::to_string(frame));
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    const int32_t target = frame_packets_[static_cast<std::size_t>(frame)];
    if (target < 0) {
        throw std::runtime_error("No packet holds frame " + std::to_string(frame));
    }
    const int32_t key = previous_key_packet(index_->packets, target + 1);
    locator_.seek(key);
    bool waiting = true;
    for (int32_t next = key; next <= target || (next == target + 1 && parser_.awaits_second_field());) {
        if (av_read_frame(input_.demuxer(), packet_.get()) < 0) {
            if (next > target) {
                break;
            }
            throw std::runtime_error("The packet of frame " + std::to_string(frame) + " cannot be read");
        }
        const PacketReference read(*packet_);
        if (packet_->stream_index != input_.stream()) {
            continue;
        }
        if (waiting) {
            const PacketLocator::Arrival arrival = locator_.arrive(*packet_);
            if (arrival == PacketLocator::Arrival::Before) {
                continue;
            }
            if (arrival == PacketLocator::Arrival::Lost) {
                throw std::runtime_error("The demuxer cannot be brought to frame " + std::to_string(frame));
            }
            waiting = false;
        }
        if (!locator_.take(*packet_, next)) {
            throw std::runtime_error("The demuxer lost track on the way to frame " + std::to_string(frame));
        }
        if (next == target) {
            grid_.coefficients = with_coefficients ? &result.coefficients : nullptr;
            parser_.parse_packet(packet_->data, packet_->size, grid_);
        } else if (next > target) {
            parser_.parse_second_field(packet_->data, packet_->size, grid_);
        } else {
            parser_.read_parameter_sets(packet_->data, packet_->size);
        }
        ++next;
    }
    place(grid_, result);
}

void FrameSyntaxReader::place(const PictureGrid& grid, FrameSyntax& result) const {
    result.rows = index_->facts.mb_rows;
    result.cols = index_->facts.mb_cols;
    result.records.assign(static_cast<std::size_t>(result.rows) * result.cols, MbSyntaxRecord{});
    const SequenceSyntax* sequence = parser_.sequence();
    if (sequence == nullptr || grid.records.empty()) {
        return;
    }
    CropOffsets crop{sequence->window.coded_width, sequence->window.coded_height, 0, 0};
    if (const std::optional<CropOffsets> cropped = predict_decoder_crop(index_->facts.pixel_format, sequence->window)) {
        crop = *cropped;
    }
    const MacroblockPlacement placement = macroblock_placement(crop);
    for (int32_t y = 0; y < grid.height_mbs; ++y) {
        for (int32_t x = 0; x < grid.width_mbs; ++x) {
            const std::optional<std::size_t> cell = placement.cell_of(x, y);
            if (cell && *cell < result.records.size()) {
                result.records[*cell] = grid.records[static_cast<std::size_t>(y) * grid.width_mbs + x];
            }
        }
    }
}
