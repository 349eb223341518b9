#include "session_construction.hpp"

std::shared_ptr<H264DecoderSession> open_session(const std::string& path, const std::string& deblocking,
                                                 bool motion_vectors, bool mb_types) {
    SessionOptions options;
    options.deblocking = parse_deblocking_mode(deblocking);
    options.motion_vectors = motion_vectors;
    options.mb_types = mb_types;
    return std::make_shared<H264DecoderSession>(path, options);
}

SessionState session_state(const H264DecoderSession& session) {
    session.check_open();
    return SessionState(py::make_tuple(py::bytes(session.index()->file.path),
                                       deblocking_mode_name(session.options().deblocking),
                                       session.options().motion_vectors, session.options().mb_types));
}

std::shared_ptr<H264DecoderSession> session_from_state(const SessionState& state) {
    if (state.size() != 4) {
        throw py::value_error("A pickled session is (path, deblocking, motion_vectors, mb_types)");
    }
    return open_session(state[0].cast<std::string>(), state[1].cast<std::string>(), state[2].cast<bool>(),
                        state[3].cast<bool>());
}
