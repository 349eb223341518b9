#include "syntax/picture_syntax.hpp"

#include "h264/bit_reader.hpp"
#include "h264/nal_units.hpp"
#include "h264/recovery_point.hpp"
#include "syntax/slice_parser.hpp"

namespace {

constexpr int kSliceNonIdr = 1;

bool is_parameter_set(int type) { return type == 7 || type == 8; }

}  // namespace

PictureSyntaxParser::PictureSyntaxParser(const AVCodecParameters& codecpar)
    : length_size_(nal_length_size(codecpar.extradata, codecpar.extradata_size)) {
    visit_extradata_nal_units(codecpar.extradata, codecpar.extradata_size, [this](const NalUnit& unit) {
        if (is_parameter_set(unit.type())) {
            payload_.clear();
            unescape_rbsp(unit.data + 1, static_cast<std::size_t>(unit.size - 1), payload_);
            sets_.read(unit.type(), payload_.data(), static_cast<int>(payload_.size()));
        }
        return true;
    });
}

void PictureSyntaxParser::read_parameter_sets(const uint8_t* data, int size) {
    visit_nal_units(data, size, length_size_, [this](const NalUnit& unit) {
        if (unit.size > 1 && is_parameter_set(unit.type())) {
            payload_.clear();
            unescape_rbsp(unit.data + 1, static_cast<std::size_t>(unit.size - 1), payload_);
            sets_.read(unit.type(), payload_.data(), static_cast<int>(payload_.size()));
        }
        return true;
    });
}

bool PictureSyntaxParser::read_picture_header(const uint8_t* data, int size, SliceSyntaxHeader& header,
                                              std::optional<SliceSyntaxHeader>* second_field) {
    bool found = false;
    visit_nal_units(data, size, length_size_, [&](const NalUnit& unit) {
        if (unit.size <= 1) {
            return true;
        }
        payload_.clear();
        unescape_rbsp(unit.data + 1, static_cast<std::size_t>(unit.size - 1), payload_);
        if (is_parameter_set(unit.type())) {
            sets_.read(unit.type(), payload_.data(), static_cast<int>(payload_.size()));
        } else if (unit.type() == kSliceNonIdr || unit.type() == kSliceIdr) {
            BitReader reader(payload_.data(), payload_.size());
            SliceSyntaxHeader read;
            const bool readable = *read_slice_syntax_header(reader, unit.type(), (unit.data[0] >> 5) & 3, sets_,
                                                            read) == '\0';
            if (!found) {
                found = readable;
                header = read;
                // Only a field's packet may go on to the other field of its frame.
                return found && header.field && second_field != nullptr;
            }
            if (readable && read.field && read.bottom_field != header.bottom_field) {
                *second_field = read;
                return false;
            }
        }
        return true;
    });
    return found;
}

void PictureSyntaxParser::read_parameter_sets(const ParameterSetHistory::Units& units) {
    for (const std::vector<uint8_t>& unit : units) {
        if (unit.size() > 1 && is_parameter_set(unit[0] & 0x1F)) {
            payload_.clear();
            unescape_rbsp(unit.data() + 1, unit.size() - 1, payload_);
            sets_.read(unit[0] & 0x1F, payload_.data(), static_cast<int>(payload_.size()));
        }
    }
}

bool PictureSyntaxParser::parse_packet(const uint8_t* data, int size, PictureGrid& grid) {
    slices_ = 0;
    awaited_field_ = -1;
    facts_ = PictureFacts{};
    if (!parse_units(data, size, grid, -1)) {
        // What the grid holds is an earlier picture's, which this packet does not have.
        grid.reset(0, 0);
        return false;
    }
    return true;
}

bool PictureSyntaxParser::parse_second_field(const uint8_t* data, int size, PictureGrid& grid) {
    const int field = awaited_field_;
    awaited_field_ = -1;
    return field >= 0 && parse_units(data, size, grid, field);
}

// `field` -1 for a new picture, else the parity a second field must have.
bool PictureSyntaxParser::parse_units(const uint8_t* data, int size, PictureGrid& grid, int field) {
    bool started = false;
    parsed_fields_ = 0;
    visit_nal_units(data, size, length_size_, [&](const NalUnit& unit) {
        if (unit.size <= 1) {
            return true;
        }
        payload_.clear();
        if (is_parameter_set(unit.type())) {
            unescape_rbsp(unit.data + 1, static_cast<std::size_t>(unit.size - 1), payload_);
            sets_.read(unit.type(), payload_.data(), static_cast<int>(payload_.size()));
        } else if (unit.type() == kSliceNonIdr || unit.type() == kSliceIdr) {
            parse_slice(unit.data, unit.size, grid, field, started);
        } else if (field < 0 && recovery_frame_count(unit) == 0U) {
            facts_.key = true;
        }
        return true;
    });
    // A packet of one field awaits the other; one of both fields (a frame's block in
    // Matroska or MP4) awaits nothing.
    if (field < 0 && (parsed_fields_ == 1 || parsed_fields_ == 2)) {
        awaited_field_ = parsed_fields_ == 1 ? 1 : 0;
    }
    return started;
}

void PictureSyntaxParser::parse_slice(const uint8_t* unit, int size, PictureGrid& grid, int field, bool& started) {
    unescape_rbsp(unit + 1, static_cast<std::size_t>(size - 1), payload_);
    BitReader reader(payload_.data(), payload_.size());
    SliceSyntaxHeader header;
    const char* refusal = read_slice_syntax_header(reader, unit[0] & 0x1F, (unit[0] >> 5) & 3, sets_, header);
    const int parity = header.field ? (header.bottom_field ? 1 : 0) : -1;
    if (field >= 0 && (header.sequence != sequence_ || parity != field)) {
        // Not the other field of the frame: another picture, which this frame does not hold.
        return;
    }
    if (header.sequence != nullptr && !started && field < 0) {
        grid.reset(header.sequence->width_mbs, header.sequence->height_mbs);
        if (grid.coefficients != nullptr) {
            grid.coefficients->reset(grid.width_mbs, grid.height_mbs, header.sequence->chroma_array_type());
        }
        sequence_ = header.sequence;
        picture_ = header.picture;
    }
    started = started || header.sequence != nullptr;
    parsed_fields_ |= parity >= 0 ? 1 << parity : 0;
    if (header.sequence != nullptr) {
        facts_.first_slice_kind = facts_.first_slice_kind < 0 ? header.kind : facts_.first_slice_kind;
        facts_.key = facts_.key || header.nal_type == kSliceIdr;
    }
    if (*refusal != '\0') {
        return;
    }
    grid.slices.push_back(header);
    SliceParser(reader, payload_.data(), payload_.size(), header, grid, slices_++).slice_data();
}
