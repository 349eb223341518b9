#include "frame/mb_type_map.hpp"

#include <algorithm>
#include <cstddef>
#include <stdexcept>

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/video_enc_params.h>
}

namespace {

constexpr std::size_t kCharactersPerMacroblock = 3;

// The characters of ff_print_debug_info2.
MbType type_of(char printed) {
    switch (printed) {
        case 'i':
            return MbType::Intra4x4;
        case 'I':
            return MbType::Intra16x16;
        case 'P':
            return MbType::IntraPcm;
        case 'S':
            return MbType::Skip;
        case 'd':
            return MbType::DirectSkip;
        case 'D':
            return MbType::Direct;
        case '>':
            return MbType::L0;
        case '<':
            return MbType::L1;
        case 'X':
            return MbType::Bi;
        default:
            return MbType::Unknown;
    }
}

Partition partition_of(char printed) {
    switch (printed) {
        case ' ':
            return Partition::P16x16;
        case '-':
            return Partition::P16x8;
        case '|':
            return Partition::P8x16;
        case '+':
            return Partition::P8x8;
        default:
            return Partition::Unknown;
    }
}

MacroblockCoding coding_of(const char* printed) {
    return MacroblockCoding{static_cast<uint8_t>(type_of(printed[0])), static_cast<uint8_t>(partition_of(printed[1])),
                            static_cast<uint8_t>(printed[2] == '=' ? 1 : 0)};
}

// The macroblocks the decoder exported QPs for, which it prints the types of too; 0 where
// the picture carries no encoder parameters.
std::size_t exported_macroblocks(const AVFrame& picture) {
    const AVFrameSideData* side_data = av_frame_get_side_data(&picture, AV_FRAME_DATA_VIDEO_ENC_PARAMS);
    if (!side_data || side_data->size < sizeof(AVVideoEncParams)) {
        return 0;
    }
    return reinterpret_cast<const AVVideoEncParams*>(side_data->data)->nb_blocks;
}

MbTypeMap missing(std::string reason) {
    MbTypeMap map;
    map.state = MbTypeMap::State::Missing;
    map.missing_reason = std::move(reason);
    return map;
}

// Why the printed rows cannot be this picture's; empty where they can.
std::string mismatch(const MbTypeRows& printed, const AVFrame& picture) {
    const char type = av_get_picture_type_char(picture.pict_type);
    if (printed.picture_type != type) {
        return std::string("FFmpeg printed the macroblock types of a picture of type ") + printed.picture_type +
               " for one of type " + type;
    }
    const std::size_t width = printed.rows.empty() ? 0 : printed.rows.front().size();
    const bool even = std::all_of(printed.rows.begin(), printed.rows.end(),
                                  [width](const std::string& row) { return row.size() == width; });
    const std::size_t macroblocks = printed.rows.size() * (width / kCharactersPerMacroblock);
    const std::size_t exported = exported_macroblocks(picture);
    if (!even || macroblocks == 0 || (exported > 0 && macroblocks != exported)) {
        return "FFmpeg printed " + std::to_string(macroblocks) + " macroblock types in " +
               std::to_string(printed.rows.size()) + " rows for a picture of " + std::to_string(exported) +
               " macroblocks";
    }
    return {};
}

}  // namespace

MbTypeMap read_mb_type_map(const MbTypeRows& printed, const AVFrame& picture, const MacroblockPlacement& placement) {
    if (printed.status == MbTypeRows::Status::NotCaptured) {
        return MbTypeMap{};
    }
    if (printed.status == MbTypeRows::Status::NotPrinted) {
        return missing("FFmpeg printed none for its picture. They come through FFmpeg's log callback: another "
                       "library in this process has replaced it (av_log_set_callback), or this FFmpeg was "
                       "built without its MPEG video decoders, whose code prints them");
    }
    MbTypeMap map;
    map.state = MbTypeMap::State::Read;
    map.cells.assign(placement.cells(), MacroblockCoding{});
    // The decoder's macroblock types of a damaged picture are partly its concealment's guesses.
    if (printed.status == MbTypeRows::Status::NotPrintedByCodec || picture.decode_error_flags != 0) {
        return map;
    }
    if (std::string why = mismatch(printed, picture); !why.empty()) {
        return missing(why);
    }
    for (std::size_t row = 0; row < printed.rows.size(); ++row) {
        const std::string& text = printed.rows[row];
        for (std::size_t column = 0; column * kCharactersPerMacroblock < text.size(); ++column) {
            if (const auto cell = placement.cell_of(static_cast<int32_t>(column), static_cast<int32_t>(row))) {
                map.cells[*cell] = coding_of(text.data() + column * kCharactersPerMacroblock);
            }
        }
    }
    return map;
}

void require_read_map(const MbTypeMap& map, int32_t frame) {
    if (map.state == MbTypeMap::State::Read) {
        return;
    }
    const std::string why =
        map.state == MbTypeMap::State::NotCaptured ? "the session does not capture them" : map.missing_reason;
    throw std::runtime_error("No macroblock types for frame " + std::to_string(frame) + ": " + why);
}
