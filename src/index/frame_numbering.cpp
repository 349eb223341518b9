#include "index/frame_numbering.hpp"

#include <algorithm>
#include <tuple>
#include <unordered_set>

namespace {

bool is_field(AVPictureStructure structure) {
    return structure == AV_PICTURE_STRUCTURE_TOP_FIELD || structure == AV_PICTURE_STRUCTURE_BOTTOM_FIELD;
}

// For each packet, the packet whose picture its data makes or completes: itself, the first
// field of the pair whose second field it holds, or -1 for a packet without a picture. A
// packet the parser could not read counts as a picture of its own: its timestamp, where it
// has one, is all that tells which frame it would be.
std::vector<int32_t> picture_owners(const std::vector<PictureOrder>& pictures) {
    std::vector<int32_t> owners(pictures.size(), -1);
    int32_t unpaired_field = -1;
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        const PictureOrder& picture = pictures[i];
        if (picture.lacks_picture) {
            continue;
        }
        if (!picture.has_picture) {
            owners[i] = static_cast<int32_t>(i);
            unpaired_field = -1;
            continue;
        }
        if (unpaired_field >= 0 && is_field(picture.structure) &&
            picture.structure != pictures[unpaired_field].structure && !picture.idr) {
            owners[i] = unpaired_field;
            unpaired_field = -1;
            continue;
        }
        owners[i] = static_cast<int32_t>(i);
        unpaired_field = is_field(picture.structure) ? static_cast<int32_t>(i) : -1;
    }
    return owners;
}

using OutputKey = std::tuple<int64_t, int32_t, std::size_t>;

// (group, picture order count, position) of every picture of its own, in decode order: the
// order FFmpeg outputs them in. Its search for the next picture to output stops at an IDR
// picture and at the picture after a memory reset (the reset's flag reaches the picture after
// the resetting one, whose own search has been made by then), so everything decoded before
// those is output first. A field pair's count is the lower of its fields'.
std::vector<OutputKey> output_keys(const std::vector<PictureOrder>& pictures, const std::vector<int32_t>& owners) {
    std::vector<int32_t> counts(pictures.size());
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        counts[i] = pictures[i].poc;
        if (owners[i] >= 0 && owners[i] != static_cast<int32_t>(i)) {
            counts[owners[i]] = std::min(counts[owners[i]], pictures[i].poc);
        }
    }
    std::vector<OutputKey> keys;
    int64_t group = 0;
    bool after_reset = false;
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        const PictureOrder& picture = pictures[i];
        if (owners[i] != static_cast<int32_t>(i) || !picture.has_picture) {
            continue;
        }
        if (!keys.empty() && (picture.idr || after_reset)) {
            ++group;
        }
        after_reset = picture.memory_reset;
        keys.emplace_back(group, counts[i], i);
    }
    return keys;
}

// Presentation timestamps equal to the decoding ones in a stream with B pictures: the muxer
// did not know the presentation order (a raw stream copied into MP4 gets them so), and the
// timestamps follow the decoding order, not the order the decoder outputs the pictures in.
bool presentation_order_unknown_to_muxer(const std::vector<PacketInfo>& packets,
                                         const std::vector<PictureOrder>& pictures) {
    const bool any_bipredicted =
        std::any_of(pictures.begin(), pictures.end(), [](const PictureOrder& picture) { return picture.bipredicted; });
    return any_bipredicted && std::all_of(packets.begin(), packets.end(), [](const PacketInfo& packet) {
               return packet.pts == packet.dts;
           });
}

// Timestamps say which picture is which only when each frame has its own and they do not
// start again or go back in decoding order, as they do where recordings were joined.
bool timestamps_identify_frames(const std::vector<PacketInfo>& packets, const std::vector<bool>& shown) {
    std::unordered_set<int64_t> seen;
    int64_t last_dts = AV_NOPTS_VALUE;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        const PacketInfo& packet = packets[i];
        if (packet.pts == AV_NOPTS_VALUE) {
            return false;
        }
        if (shown[i] && !seen.insert(packet.pts).second) {
            return false;
        }
        if (packet.dts != AV_NOPTS_VALUE) {
            if (last_dts != AV_NOPTS_VALUE && packet.dts < last_dts) {
                return false;
            }
            last_dts = packet.dts;
        }
    }
    return true;
}

// Which packet's picture each packet's data belongs to, and which pictures the decoder
// outputs at all.
void find_pictures(const std::vector<PacketInfo>& packets, const std::vector<PictureOrder>& pictures,
                   std::vector<int32_t>& owners, std::vector<bool>& shown) {
    owners.resize(packets.size());
    shown.resize(packets.size());
    if (pictures.empty()) {
        for (std::size_t i = 0; i < packets.size(); ++i) {
            owners[i] = static_cast<int32_t>(i);
            shown[i] = packets[i].pts != AV_NOPTS_VALUE && !packets[i].discarded;
        }
        return;
    }
    owners = picture_owners(pictures);
    for (std::size_t i = 0; i < packets.size(); ++i) {
        shown[i] = owners[i] == static_cast<int32_t>(i) && !packets[i].discarded;
    }
}

void number_by_timestamps(std::vector<PacketInfo>& packets, const std::vector<int32_t>& owners,
                          const std::vector<bool>& shown, int32_t first_output) {
    const int64_t shown_from = first_output >= 0 ? packets[first_output].pts : AV_NOPTS_VALUE;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        const int32_t owner = owners[i];
        const bool is_frame = owner >= 0 && shown[owner] && first_output >= 0 && packets[owner].pts >= shown_from;
        packets[i].frame_pts = is_frame ? packets[owner].pts : AV_NOPTS_VALUE;
    }
}

void number_by_bitstream(std::vector<PacketInfo>& packets, const std::vector<PictureOrder>& pictures,
                         const std::vector<int32_t>& owners, const std::vector<bool>& shown, int32_t first_output) {
    const std::vector<int64_t> numbers = number_in_output_order(pictures, shown, first_output);
    for (std::size_t i = 0; i < packets.size(); ++i) {
        packets[i].pts = numbers[i];
        packets[i].frame_pts = owners[i] >= 0 ? numbers[owners[i]] : AV_NOPTS_VALUE;
    }
}

}  // namespace

int32_t leading_idr_packet(const std::vector<PictureOrder>& pictures) {
    const auto first = std::find_if(pictures.begin(), pictures.end(),
                                    [](const PictureOrder& picture) { return picture.has_picture; });
    return first != pictures.end() && first->idr ? static_cast<int32_t>(first - pictures.begin()) : -1;
}

std::vector<int64_t> number_in_output_order(const std::vector<PictureOrder>& pictures, const std::vector<bool>& shown,
                                            int32_t first_output) {
    std::vector<int64_t> numbers(pictures.size(), AV_NOPTS_VALUE);
    std::vector<OutputKey> keys = output_keys(pictures, picture_owners(pictures));
    const auto first = std::find_if(keys.begin(), keys.end(), [first_output](const OutputKey& key) {
        return static_cast<int32_t>(std::get<2>(key)) == first_output;
    });
    if (first == keys.end()) {
        return numbers;
    }
    const OutputKey shown_from = *first;
    std::sort(keys.begin(), keys.end());
    int64_t number = 0;
    for (const OutputKey& key : keys) {
        const std::size_t packet = std::get<2>(key);
        if (key >= shown_from && shown[packet]) {
            numbers[packet] = number++;
        }
    }
    return numbers;
}

bool numbered_by_timestamps(const std::vector<PacketInfo>& packets, const std::vector<PictureOrder>& pictures) {
    std::vector<int32_t> owners;
    std::vector<bool> shown;
    find_pictures(packets, pictures, owners, shown);
    return timestamps_identify_frames(packets, shown) && !presentation_order_unknown_to_muxer(packets, pictures);
}

bool number_frames(std::vector<PacketInfo>& packets, const std::vector<PictureOrder>& pictures, int32_t first_output) {
    std::vector<int32_t> owners;
    std::vector<bool> shown;
    find_pictures(packets, pictures, owners, shown);
    if (timestamps_identify_frames(packets, shown) && !presentation_order_unknown_to_muxer(packets, pictures)) {
        number_by_timestamps(packets, owners, shown, first_output);
        return false;
    }
    if (pictures.empty()) {
        for (PacketInfo& packet : packets) {
            packet.pts = AV_NOPTS_VALUE;
            packet.frame_pts = AV_NOPTS_VALUE;
        }
    } else {
        number_by_bitstream(packets, pictures, owners, shown, first_output);
    }
    return true;
}

void number_by_output_order(std::vector<PacketInfo>& packets, const std::vector<int32_t>& output_order) {
    for (PacketInfo& packet : packets) {
        packet.pts = AV_NOPTS_VALUE;
        packet.frame_pts = AV_NOPTS_VALUE;
    }
    int64_t number = 0;
    for (const int32_t position : output_order) {
        PacketInfo& packet = packets[static_cast<std::size_t>(position)];
        if (packet.frame_pts == AV_NOPTS_VALUE) {
            packet.pts = number;
            packet.frame_pts = number++;
        }
    }
}
