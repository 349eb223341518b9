#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "frame/mb_type_map.hpp"
#include "syntax/frame_syntax_reader.hpp"

// Where a frame's QP map or macroblock types come from. Decode: the decoder, from the key
// packet up to the frame. Parse: the frame's own packet read without decoding, which gives
// the decoder's values in every macroblock it parses. Auto: the parse where it read every
// macroblock of the picture, decoding where it did not (a damaged slice, a coding the parser
// refuses, a picture FFmpeg conceals or outputs without slices of its own).
enum class MapSource { Decode, Parse, Auto };

// "decode", "parse" or "auto"; std::invalid_argument naming `argument` otherwise.
MapSource map_source_named(const std::string& name, const char* argument);

// The frame's syntax on the grid of the decoder's maps; every cell unparsed where no packet
// holds a picture of the frame, and in streams of other codecs than H.264.
FrameSyntax frame_syntax_or_none(FrameSyntaxReader& reader, int32_t frame);

// Whether every cell of the grid holds a macroblock parsed from the frame's packets: then its
// QP and type are those decoding gives.
bool parsed_everywhere(const FrameSyntax& syntax);

// Row-major on the grid: each macroblock's QP on the QP map's scale, -1 where not parsed.
std::vector<int8_t> qp_map_of(const FrameSyntax& syntax);

// Row-major on the grid: each macroblock's type, partition and field flag as the decoder's
// map gives them, Unknown where not parsed; the partition of direct prediction, which follows
// the co-located picture rather than the syntax, is Unknown.
std::vector<MacroblockCoding> mb_types_of(const FrameSyntax& syntax);

// The QP map `source` takes from the parse (Parse always, Auto where parsed_everywhere);
// nullopt where decoding has to give it.
std::optional<std::vector<int8_t>> qp_map_from_syntax(FrameSyntaxReader& reader, int32_t frame, MapSource source);

// The macroblock types `source` takes from the parse: Parse always; Auto where
// parsed_everywhere and no macroblock uses direct prediction, whose partition only decoding
// gives; nullopt where decoding has to give them.
std::optional<std::vector<MacroblockCoding>> mb_types_from_syntax(FrameSyntaxReader& reader, int32_t frame,
                                                                  MapSource source);
