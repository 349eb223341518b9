#include "h264/bit_reader.hpp"

#include <cstring>

// An 0x03 that follows two zero bytes of the unit was put there so that the payload holds
// no start code. The zeros before it are payload, never a removed byte, so looking back two
// bytes in the input finds every such 0x03; memchr keeps the common case (no 0x03) fast.
void unescape_rbsp(const uint8_t* nal, std::size_t size, std::vector<uint8_t>& out) {
    out.reserve(out.size() + size);
    std::size_t copied = 0;
    std::size_t search = 2;
    while (search < size) {
        const auto* found = static_cast<const uint8_t*>(std::memchr(nal + search, 3, size - search));
        if (found == nullptr) {
            break;
        }
        const auto at = static_cast<std::size_t>(found - nal);
        if (nal[at - 1] == 0 && nal[at - 2] == 0) {
            out.insert(out.end(), nal + copied, nal + at);
            copied = at + 1;
            // The two bytes after a removed 0x03 start the next search for zeros.
            search = at + 3;
        } else {
            search = at + 1;
        }
    }
    out.insert(out.end(), nal + copied, nal + size);
}
