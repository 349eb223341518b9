#include "session_construction.hpp"

#include <pybind11/pybind11.h>

#include <stdexcept>

namespace {

int read_ahead_setting(const std::optional<int>& read_ahead) {
    if (!read_ahead) {
        return kAutomaticReadAhead;
    }
    if (*read_ahead < 0) {
        throw std::invalid_argument("read_ahead must be None or a count of decoders, not " +
                                    std::to_string(*read_ahead));
    }
    return *read_ahead;
}

}  // namespace

std::shared_ptr<H264DecoderSession> open_session(const std::string& path, const std::string& deblocking,
                                                 bool motion_vectors, bool mb_types,
                                                 const std::optional<int>& read_ahead) {
    SessionOptions options;
    options.deblocking = parse_deblocking_mode(deblocking);
    options.motion_vectors = motion_vectors;
    options.mb_types = mb_types;
    options.read_ahead = read_ahead_setting(read_ahead);
    // Opening reads the whole file once: other Python threads (a pool opening a corpus's
    // files, say) go on meanwhile.
    pybind11::gil_scoped_release release;
    return std::make_shared<H264DecoderSession>(path, options);
}
