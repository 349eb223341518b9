#include "frame/motion_vectors.hpp"

#include <cstring>

std::vector<AVMotionVector> read_motion_vectors(const AVFrame& frame) {
    const AVFrameSideData* side_data = av_frame_get_side_data(&frame, AV_FRAME_DATA_MOTION_VECTORS);
    if (!side_data) {
        return {};
    }
    std::vector<AVMotionVector> vectors(side_data->size / sizeof(AVMotionVector));
    if (!vectors.empty()) {
        std::memcpy(vectors.data(), side_data->data, vectors.size() * sizeof(AVMotionVector));
    }
    return vectors;
}
