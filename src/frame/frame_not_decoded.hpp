#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

// A frame of the index that the decoder makes no picture of: its data is missing or broken
// beyond what the decoder conceals (a picture whose parameter set is gone, say).
class FrameNotDecoded : public std::runtime_error {
public:
    explicit FrameNotDecoded(int32_t frame)
        : std::runtime_error("Failed to decode frame " + std::to_string(frame)), frame_(frame) {}
    int32_t frame() const { return frame_; }

private:
    int32_t frame_;
};
