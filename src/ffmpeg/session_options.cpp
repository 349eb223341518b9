#include "ffmpeg/session_options.hpp"

#include <stdexcept>

DeblockingMode parse_deblocking_mode(const std::string& name) {
    if (name == "skip") {
        return DeblockingMode::Skip;
    }
    if (name == "exact") {
        return DeblockingMode::Exact;
    }
    if (name == "on") {
        return DeblockingMode::On;
    }
    throw std::invalid_argument("deblocking must be \"skip\", \"exact\" or \"on\", not \"" + name + "\"");
}
