#include "index/recovery_points.hpp"

#include <limits>

namespace {

// The packet of the picture that completes the recovery begun at `key`, or -1 where none
// does before the stream ends; an IDR picture completes any.
int32_t recovery_packet(const std::vector<PictureOrder>& pictures, std::size_t key) {
    const PictureOrder& start = pictures[key];
    const uint32_t target = static_cast<uint32_t>((start.frame_num + start.recovery_frames) % start.frame_num_modulus);
    for (std::size_t i = key + 1; i < pictures.size(); ++i) {
        const PictureOrder& picture = pictures[i];
        if (picture.has_picture && (picture.idr || (picture.reference && picture.frame_num == target))) {
            return static_cast<int32_t>(i);
        }
    }
    return -1;
}

}  // namespace

void find_recovery_pictures(std::vector<PacketInfo>& packets, const std::vector<PictureOrder>& pictures) {
    for (std::size_t key = 0; key < pictures.size() && key < packets.size(); ++key) {
        const PictureOrder& start = pictures[key];
        if (!packets[key].is_key || start.idr || !start.has_picture || start.recovery_frames <= 0) {
            continue;
        }
        // Where the stream ends before the recovery completes, nothing comes out from there.
        const int32_t recovered = recovery_packet(pictures, key);
        packets[key].shown_from_pts = recovered >= 0 ? packets[static_cast<std::size_t>(recovered)].frame_pts
                                                     : std::numeric_limits<int64_t>::max();
    }
}
