#include "syntax/frame_syntax_reader.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "frame/macroblock_placement.hpp"
#include "h264/header_reader.hpp"
#include "h264/nal_units.hpp"

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

// The MP4 and MOV demuxer finds any sample by its decoding timestamp, with AVSEEK_FLAG_ANY
// exactly: a frame's packet is then read without the packets between it and its key packet.
bool seeks_to_any_packet(const VideoInput& input) {
    return std::string(input.demuxer()->iformat->name).rfind("mov,mp4", 0) == 0;
}

DemuxerSeeks seeks_of(VideoInput& input) {
    if (seeks_to_any_packet(input)) {
        return DemuxerSeeks{[&input](int64_t timestamp) {
                                return av_seek_frame(input.demuxer(), input.stream(), timestamp,
                                                     AVSEEK_FLAG_BACKWARD | AVSEEK_FLAG_ANY) >= 0;
                            },
                            [&input](int64_t byte) { return input.seek_to_byte(byte); }};
    }
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

FrameSyntaxReader::FrameSyntaxReader(std::shared_ptr<const StreamIndex> index, const SessionOptions& options,
                                     std::size_t memo_bytes)
    : index_(std::move(index)),
      input_(index_->path, index_->stream, without_exports(options)),
      locator_(index_->packets, index_->frames_from_bitstream, seeks_of(input_)),
      packet_(allocate_packet()),
      frame_packets_(packets_of_frames(*index_)),
      parser_(*input_.video_stream().codecpar),
      exact_seeks_(seeks_to_any_packet(input_) && !index_->frames_from_bitstream),
      memo_(memo_bytes > 0 ? std::make_unique<SyntaxMemo>(memo_bytes) : nullptr) {}

void FrameSyntaxReader::read(int32_t frame, SyntaxDepth depth, FrameSyntax& result) {
    if (frame < 0 || frame >= index_->num_frames()) {
        throw std::out_of_range("Frame index out of range: " + std::to_string(frame));
    }
    if (memo_ && depth != SyntaxDepth::Levels) {
        if (const std::shared_ptr<const FrameSyntax> kept =
                memo_->find(frame, SyntaxMemo::Read::Alone, depth == SyntaxDepth::Records)) {
            result = *kept;
            return;
        }
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    const int32_t target = packet_of(frame);
    if (target < 0) {
        throw std::runtime_error("No packet holds frame " + std::to_string(frame));
    }
    const bool context = depth != SyntaxDepth::Records;
    grid_.coefficients = depth == SyntaxDepth::Levels ? &result.coefficients : nullptr;
    result.earlier.clear();
    // Where the demuxer lands on the packet itself, the parameter sets in force there come
    // from the index rather than from the packets since the key packet. The rebuild reads
    // from the key packet all the same: it needs the pictures before the frame.
    const ParameterSetHistory::Units& sets = index_->parameter_sets.before_packet(target);
    const bool from_target = !context && exact_seeks_ && !sets.empty();
    if (from_target) {
        parser_.read_parameter_sets(sets);
    }
    bool reached = walk_to(target, target, from_target, context, result);
    // A picture shown before the key picture it is decoded after, where that is no IDR
    // picture (an open GOP's leading picture), may refer to pictures before it: the rebuild
    // needs those too, from the key packet before.
    const int32_t key = previous_key_packet(index_->packets, target + 1);
    if (reached && context && key > 0 && leads_non_idr_key(result)) {
        result.earlier.clear();
        reached = walk_to(target, previous_key_packet(index_->packets, key), true, true, result);
    }
    if (!reached) {
        throw std::runtime_error("The packet of frame " + std::to_string(frame) + " cannot be read");
    }
    place(grid_, context, result);
    if (memo_ && context) {
        memo_->keep(frame, SyntaxMemo::Read::Alone, result);
    }
}

bool FrameSyntaxReader::leads_non_idr_key(const FrameSyntax& result) {
    return !result.earlier.empty() && result.earlier.front().header.nal_type != kSliceIdr &&
           result.order_count < result.earlier.front().order_count;
}

bool FrameSyntaxReader::walk_to(int32_t target, int32_t first, bool from_first, bool context, FrameSyntax& result) {
    // Counts picture order as FFmpeg's decoder does, from the packet the walk starts at on.
    H264HeaderReader orders(*input_.video_stream().codecpar, true);
    bool reached = false;
    walk_from(first, from_first, [&](int32_t packet) {
        if (packet == target) {
            reached = true;
            // The frame's own order count is counted on from those before it.
            if (context && earlier_picture(packet, orders, result)) {
                result.order_count = result.earlier.back().order_count;
                result.earlier.pop_back();
            }
            parser_.parse_packet(packet_->data, packet_->size, grid_);
            return parser_.awaits_second_field();
        }
        if (packet > target) {
            parser_.parse_second_field(packet_->data, packet_->size, grid_);
            return false;
        }
        if (context) {
            earlier_picture(packet, orders, result);
        } else {
            parser_.read_parameter_sets(packet_->data, packet_->size);
        }
        return true;
    });
    return reached;
}

void FrameSyntaxReader::read_in_file_order(
    const std::vector<int32_t>& frames,
    const std::function<void(std::size_t position, const FrameSyntax& syntax)>& take, SyntaxDepth depth,
    SyntaxMemo* keep_in) {
    std::vector<std::pair<int32_t, std::size_t>> targets;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        if (packet_of(frames[i]) >= 0) {
            targets.emplace_back(packet_of(frames[i]), i);
        }
    }
    if (targets.empty()) {
        return;
    }
    std::sort(targets.begin(), targets.end());
    const std::lock_guard<std::mutex> lock(mutex_);
    FrameSyntax syntax;
    const bool context = depth != SyntaxDepth::Records;
    grid_.coefficients = depth == SyntaxDepth::Levels ? &syntax.coefficients : nullptr;
    // Where its context is asked for, each frame comes with the pictures before it from its key
    // packet on, and from the key packet before that one where its key picture is no IDR
    // picture, whose leading pictures may refer to the interval before (as read() gives
    // them): the rebuild names its references among them.
    H264HeaderReader orders(*input_.video_stream().codecpar, true);
    FrameSyntax since_key;
    // Where the pictures from the last key packet on begin in since_key.earlier.
    std::size_t interval_begins = 0;
    const auto note = [&](int32_t packet) {
        const std::size_t before = since_key.earlier.size();
        const bool noted = earlier_picture(packet, orders, since_key);
        if (noted && index_->packets[static_cast<std::size_t>(packet)].is_key) {
            const bool idr = since_key.earlier.back().header.nal_type == kSliceIdr;
            const std::size_t kept_from = idr ? before : interval_begins;
            since_key.earlier.erase(since_key.earlier.begin(),
                                    since_key.earlier.begin() + static_cast<std::ptrdiff_t>(kept_from));
            interval_begins = before - kept_from;
        }
        return noted;
    };
    std::size_t next = 0;
    // Whether the frame to emit was noted last, its own order count.
    bool noted = false;
    const auto emit = [&](int32_t packet) {
        place(grid_, context, syntax);
        syntax.earlier = since_key.earlier;
        if (noted) {
            syntax.order_count = syntax.earlier.back().order_count;
            syntax.earlier.pop_back();
        }
        int32_t frame = -1;
        for (; next < targets.size() && targets[next].first == packet; ++next) {
            take(targets[next].second, syntax);
            frame = frames[targets[next].second];
        }
        // Once every position asking for the frame has it: the memo takes its records away.
        if (keep_in != nullptr && context && frame >= 0) {
            keep_in->take(frame, SyntaxMemo::Read::InFileOrder, syntax);
        }
    };
    int32_t awaiting = -1;
    const int32_t first_key = previous_key_packet(index_->packets, targets.front().first + 1);
    const int32_t start =
        context && first_key > 0 ? previous_key_packet(index_->packets, first_key) : first_key;
    walk_from(start, true, [&](int32_t packet) {
        if (awaiting >= 0) {
            const bool second_field = parser_.parse_second_field(packet_->data, packet_->size, grid_);
            emit(awaiting);
            awaiting = -1;
            if (second_field) {
                // The frames after it are decoded after this field, as read() gives them.
                if (context) {
                    note(packet);
                }
                return next < targets.size();
            }
        }
        if (next >= targets.size()) {
            return false;
        }
        if (packet == targets[next].first) {
            noted = context && note(packet);
            parser_.parse_packet(packet_->data, packet_->size, grid_);
            if (parser_.awaits_second_field()) {
                awaiting = packet;
                return true;
            }
            emit(packet);
            return next < targets.size();
        }
        if (context) {
            note(packet);
        } else {
            parser_.read_parameter_sets(packet_->data, packet_->size);
        }
        return true;
    });
    if (awaiting >= 0) {
        emit(awaiting);
    }
}

bool FrameSyntaxReader::earlier_picture(int32_t packet, H264HeaderReader& orders, FrameSyntax& result) {
    EarlierPicture picture;
    const PictureOrder order = orders.read(*packet_);
    if (!parser_.read_picture_header(packet_->data, packet_->size, picture.header, &picture.second_field)) {
        return false;
    }
    // FFmpeg counts type 0 from a most significant part of 2^16 where the Recommendation
    // starts at 0.
    picture.order_count = order.poc - (picture.header.sequence->order_count_type == 0 ? 1 << 16 : 0);
    if (picture.second_field) {
        picture.second_field_order_count =
            picture.order_count +
            second_field_order_difference(picture.header, *picture.second_field, *picture.header.sequence);
    }
    // Marking and order counts are all a picture before the frame is read for: neither its
    // parameter sets nor its weights are kept.
    picture.header.sequence = nullptr;
    picture.header.picture = nullptr;
    picture.header.weights = WeightTable{};
    if (picture.second_field) {
        picture.second_field->sequence = nullptr;
        picture.second_field->picture = nullptr;
        picture.second_field->weights = WeightTable{};
    }
    const int64_t pts = index_->packets[static_cast<std::size_t>(packet)].pts;
    picture.frame = pts == AV_NOPTS_VALUE ? -1 : index_->frames.frame_of_pts(pts);
    result.earlier.push_back(std::move(picture));
    return true;
}

bool FrameSyntaxReader::walk_from(int32_t first, bool from_first, const std::function<bool(int32_t packet)>& visit) {
    const int32_t start = from_first ? first : previous_key_packet(index_->packets, first + 1);
    locator_.seek(start);
    bool waiting = true;
    for (int32_t next = start;; ++next) {
        for (;;) {
            if (av_read_frame(input_.demuxer(), packet_.get()) < 0) {
                return false;
            }
            if (packet_->stream_index == input_.stream()) {
                break;
            }
            av_packet_unref(packet_.get());
        }
        const PacketReference read(*packet_);
        if (waiting) {
            const PacketLocator::Arrival arrival = locator_.arrive(*packet_);
            if (arrival == PacketLocator::Arrival::Lost) {
                throw std::runtime_error("The demuxer cannot be brought to packet " + std::to_string(first));
            }
            if (arrival == PacketLocator::Arrival::Before) {
                --next;
                continue;
            }
            waiting = false;
        }
        if (!locator_.take(*packet_, next)) {
            throw std::runtime_error("The demuxer lost track on the way to packet " + std::to_string(first));
        }
        if (!visit(next)) {
            return true;
        }
    }
}

void FrameSyntaxReader::place_nothing(FrameSyntax& result) const {
    clear_all_but_records(result);
    result.records.assign(static_cast<std::size_t>(result.rows) * result.cols, MbSyntaxRecord{});
}

void FrameSyntaxReader::clear_all_but_records(FrameSyntax& result) const {
    result.rows = index_->facts.mb_rows;
    result.cols = index_->facts.mb_cols;
    result.fills_grid = false;
    result.facts = PictureFacts{};
    result.nonzero_levels = 0;
    // A frame without a picture has no coded grid either: nothing of the last frame read stays.
    result.coded_records.clear();
    result.coded_cols = 0;
}

void FrameSyntaxReader::place(PictureGrid& grid, bool context, FrameSyntax& result) const {
    const SequenceSyntax* sequence = parser_.sequence();
    const bool placeable = sequence != nullptr && !grid.records.empty();
    if (placeable) {
        clear_all_but_records(result);
    } else {
        place_nothing(result);
    }
    result.facts = parser_.facts();
    result.nonzero_levels = grid.nonzero_levels;
    if (!placeable) {
        return;
    }
    const bool taken = context && parser_.picture() != nullptr;
    if (taken) {
        // Taken, not copied: the grid's next picture clears the vector it gets back.
        result.coded_records.swap(grid.records);
        result.coded_cols = grid.width_mbs;
        result.sequence = *sequence;
        result.picture = *parser_.picture();
        if (!result.picture.scaling_present) {
            result.picture.scaling = sequence->scaling;
        }
        result.slices = grid.slices;
    }
    CropOffsets crop{sequence->window.coded_width, sequence->window.coded_height, 0, 0};
    if (const std::optional<CropOffsets> cropped = predict_decoder_crop(index_->facts.pixel_format, sequence->window)) {
        crop = *cropped;
    }
    // The grid's macroblocks that land on cells (MacroblockPlacement::cell_of) form a
    // rectangle whose rows are runs of cells: copied a run at a time.
    const MacroblockPlacement placement = macroblock_placement(crop);
    const std::vector<MbSyntaxRecord>& coded = taken ? result.coded_records : grid.records;
    const int32_t first_x = placement.skipped_cols;
    const int32_t end_x = std::min(grid.width_mbs, placement.skipped_cols + placement.cols);
    const int32_t first_y = placement.skipped_rows;
    const int32_t end_y = std::min(grid.height_mbs, placement.skipped_rows + placement.rows);
    const std::size_t cells = static_cast<std::size_t>(result.rows) * result.cols;
    const bool covers_every_cell = placement.rows == result.rows && placement.cols == result.cols &&
                                   end_x - first_x == placement.cols && end_y - first_y == placement.rows;
    if (covers_every_cell) {
        // Each cell is written below: nothing to clear.
        result.records.resize(cells);
    } else {
        result.records.assign(cells, MbSyntaxRecord{});
    }
    std::size_t placed = 0;
    for (int32_t y = first_y; y < end_y && first_x < end_x; ++y) {
        const std::size_t cell = *placement.cell_of(first_x, y);
        if (cell >= cells) {
            break;
        }
        const std::size_t run = std::min(static_cast<std::size_t>(end_x - first_x), cells - cell);
        const auto from = coded.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(y) * grid.width_mbs + first_x);
        std::copy(from, from + static_cast<std::ptrdiff_t>(run), result.records.begin() + static_cast<std::ptrdiff_t>(cell));
        placed += run;
    }
    result.fills_grid = placement.rows == result.rows && placement.cols == result.cols &&
                        placed == result.records.size() && placed == coded.size();
}
