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

std::string deblocking_mode_name(DeblockingMode mode) {
    switch (mode) {
        case DeblockingMode::Exact:
            return "exact";
        case DeblockingMode::On:
            return "on";
        case DeblockingMode::Skip:
            break;
    }
    return "skip";
}
