#include "ahead/snapshot_budget.hpp"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

std::size_t session_read_ahead_budget() {
    const char* setting = std::getenv("VEXMIRA_READ_AHEAD_BUDGET");
    if (!setting) {
        return kReadAheadByteBudget;
    }
    const char* end = setting + std::strlen(setting);
    std::size_t bytes = 0;
    const std::from_chars_result read = std::from_chars(setting, end, bytes);
    if (read.ec != std::errc() || read.ptr != end) {
        throw std::invalid_argument(std::string("VEXMIRA_READ_AHEAD_BUDGET must be a count of bytes, not ") + setting);
    }
    return bytes;
}
