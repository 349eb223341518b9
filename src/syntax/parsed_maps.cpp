#include "syntax/parsed_maps.hpp"

#include <algorithm>
#include <stdexcept>

MapSource map_source_named(const std::string& name, const char* argument) {
    if (name == "decode") {
        return MapSource::Decode;
    }
    if (name == "parse") {
        return MapSource::Parse;
    }
    if (name == "auto") {
        return MapSource::Auto;
    }
    throw std::invalid_argument(std::string(argument) + " must be \"decode\", \"parse\" or \"auto\", not \"" + name +
                                "\"");
}

FrameSyntax frame_syntax_or_none(FrameSyntaxReader& reader, int32_t frame) {
    FrameSyntax syntax;
    if (!reader.reads_h264() || reader.packet_of(frame) < 0) {
        reader.place_nothing(syntax);
        return syntax;
    }
    reader.read(frame, SyntaxDepth::Records, syntax);
    return syntax;
}

bool parsed_everywhere(const FrameSyntax& syntax) {
    return syntax.fills_grid && std::all_of(syntax.records.begin(), syntax.records.end(),
                                            [](const MbSyntaxRecord& record) { return record.parsed != 0; });
}

std::vector<int8_t> qp_map_of(const FrameSyntax& syntax) {
    std::vector<int8_t> map(syntax.records.size());
    std::transform(syntax.records.begin(), syntax.records.end(), map.begin(),
                   [](const MbSyntaxRecord& record) { return record.parsed ? record.qp : int8_t{-1}; });
    return map;
}

std::vector<MacroblockCoding> mb_types_of(const FrameSyntax& syntax) {
    std::vector<MacroblockCoding> cells(syntax.records.size());
    std::transform(syntax.records.begin(), syntax.records.end(), cells.begin(), [](const MbSyntaxRecord& record) {
        MacroblockCoding cell;
        if (record.parsed) {
            cell.type = record.type;
            cell.partition = record.partition;
            cell.interlaced = record.interlaced;
        }
        return cell;
    });
    return cells;
}

std::optional<std::vector<int8_t>> qp_map_from_syntax(FrameSyntaxReader& reader, int32_t frame, MapSource source) {
    if (source == MapSource::Decode) {
        return std::nullopt;
    }
    const FrameSyntax syntax = frame_syntax_or_none(reader, frame);
    if (source == MapSource::Auto && !parsed_everywhere(syntax)) {
        return std::nullopt;
    }
    return qp_map_of(syntax);
}

std::optional<std::vector<MacroblockCoding>> mb_types_from_syntax(FrameSyntaxReader& reader, int32_t frame,
                                                                  MapSource source) {
    if (source == MapSource::Decode) {
        return std::nullopt;
    }
    const FrameSyntax syntax = frame_syntax_or_none(reader, frame);
    std::vector<MacroblockCoding> cells = mb_types_of(syntax);
    const bool partitions_known = std::none_of(cells.begin(), cells.end(), [](const MacroblockCoding& cell) {
        return cell.partition == static_cast<uint8_t>(Partition::Unknown);
    });
    if (source == MapSource::Auto && !(parsed_everywhere(syntax) && partitions_known)) {
        return std::nullopt;
    }
    return cells;
}
