#pragma once

#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
}

#include "ffmpeg/mb_type_log.hpp"
#include "frame/macroblock_placement.hpp"

// How a macroblock was coded, as FFmpeg's H.264 decoder reports it. The values are those of
// vexmira.MbType and vexmira.Partition.
enum class MbType : uint8_t {
    // Intra prediction from 4x4 or 8x8 blocks.
    Intra4x4 = 0,
    Intra16x16 = 1,
    IntraPcm = 2,
    // P skip: no residual, motion predicted from the neighbours.
    Skip = 3,
    // B skip: no residual, direct motion.
    DirectSkip = 4,
    // B direct with residual.
    Direct = 5,
    // Motion coded from list 0, list 1, or both.
    L0 = 6,
    L1 = 7,
    Bi = 8,
    // No data: the picture is damaged, or the decoder reported another kind.
    Unknown = 255,
};

enum class Partition : uint8_t {
    // Also every intra macroblock.
    P16x16 = 0,
    P16x8 = 1,
    P8x16 = 2,
    P8x8 = 3,
    Unknown = 255,
};

// One cell of the map, laid out as the NumPy structured array that carries it.
struct MacroblockCoding {
    uint8_t type = static_cast<uint8_t>(MbType::Unknown);
    uint8_t partition = static_cast<uint8_t>(Partition::Unknown);
    // A field macroblock: of a field macroblock pair in an MBAFF frame, or of a field picture.
    uint8_t interlaced = 0;
};
static_assert(sizeof(MacroblockCoding) == 3, "packed like the NumPy record");

struct MbTypeMap {
    enum class State {
        // The session does not capture macroblock types.
        NotCaptured,
        // `cells` holds the map: Unknown everywhere in a damaged picture, as the QP map holds -1.
        Read,
        // The types of this picture could not be had; `missing_reason` says why.
        Missing,
    };
    State state = State::NotCaptured;
    std::string missing_reason;
    // Row-major on the snapshot's grid.
    std::vector<MacroblockCoding> cells;
};

// The map of the returned picture from what its decoder printed, each macroblock placed as
// the QP map places it.
MbTypeMap read_mb_type_map(const MbTypeRows& printed, const AVFrame& picture, const MacroblockPlacement& placement);

// std::runtime_error naming the frame and saying why, unless the map was read.
void require_read_map(const MbTypeMap& map, int32_t frame);
