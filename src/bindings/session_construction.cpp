#include "session_construction.hpp"

std::shared_ptr<H264DecoderSession> open_session(const std::string& path, const std::string& deblocking,
                                                 bool motion_vectors, bool mb_types) {
    SessionOptions options;
    options.deblocking = parse_deblocking_mode(deblocking);
    options.motion_vectors = motion_vectors;
    options.mb_types = mb_types;
    return std::make_shared<H264DecoderSession>(path, options);
}
