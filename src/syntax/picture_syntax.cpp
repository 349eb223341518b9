#include "syntax/picture_syntax.hpp"

#include "h264/bit_reader.hpp"
#include "h264/nal_units.hpp"
#include "syntax/slice_parser.hpp"

namespace {

constexpr int kSliceNonIdr = 1;
constexpr int kSliceIdr = 5;

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

bool PictureSyntaxParser::parse_packet(const uint8_t* data, int size, PictureGrid& grid) {
    bool started = false;
    slices_ = 0;
    visit_nal_units(data, size, length_size_, [&](const NalUnit& unit) {
        if (unit.size <= 1) {
            return true;
        }
        payload_.clear();
        if (is_parameter_set(unit.type())) {
            unescape_rbsp(unit.data + 1, static_cast<std::size_t>(unit.size - 1), payload_);
            sets_.read(unit.type(), payload_.data(), static_cast<int>(payload_.size()));
        } else if (unit.type() == kSliceNonIdr || unit.type() == kSliceIdr) {
            parse_slice(unit.data, unit.size, grid, started);
        }
        return true;
    });
    return started;
}

void PictureSyntaxParser::parse_slice(const uint8_t* unit, int size, PictureGrid& grid, bool& started) {
    unescape_rbsp(unit + 1, static_cast<std::size_t>(size - 1), payload_);
    BitReader reader(payload_.data(), payload_.size());
    SliceSyntaxHeader header;
    const char* refusal = read_slice_syntax_header(reader, unit[0] & 0x1F, (unit[0] >> 5) & 3, sets_, header);
    if (header.sequence != nullptr && !started) {
        grid.reset(header.sequence->width_mbs, header.sequence->height_mbs);
        if (grid.coefficients != nullptr) {
            grid.coefficients->reset(grid.width_mbs, grid.height_mbs, header.sequence->chroma_array_type());
        }
        sequence_ = header.sequence;
        started = true;
    }
    if (*refusal != '\0' || header.field || header.mbaff) {
        return;
    }
    SliceParser(reader, payload_.data(), payload_.size(), header, grid, slices_++).slice_data();
}
