#include "session_construction.hpp"

#include <pybind11/stl.h>

#include <stdexcept>

#include "python_logging.hpp"

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

int32_t stream_setting(const std::optional<int>& stream) {
    if (!stream) {
        return kFirstVideoStream;
    }
    if (*stream < 0) {
        throw std::invalid_argument("stream must be None or a stream's index, not " + std::to_string(*stream));
    }
    return *stream;
}

py::object read_ahead_keyword(int setting) {
    return setting == kAutomaticReadAhead ? py::object(py::none()) : py::object(py::int_(setting));
}

}  // namespace

std::shared_ptr<H264DecoderSession> open_session(const std::string& path, const std::string& deblocking,
                                                 bool motion_vectors, bool mb_types,
                                                 const std::optional<int>& read_ahead, const std::optional<int>& stream) {
    SessionOptions options;
    options.deblocking = parse_deblocking_mode(deblocking);
    options.motion_vectors = motion_vectors;
    options.mb_types = mb_types;
    options.read_ahead = read_ahead_setting(read_ahead);
    options.stream = stream_setting(stream);
    // Opening reads the whole file once: other Python threads (a pool opening a corpus's
    // files, say) go on meanwhile.
    const FfmpegMessagesToLogging messages(path);
    py::gil_scoped_release release;
    return std::make_shared<H264DecoderSession>(path, options);
}

SessionState session_state(const H264DecoderSession& session) {
    session.check_open();
    return SessionState(py::make_tuple(py::bytes(session.index()->file.path),
                                       deblocking_mode_name(session.options().deblocking),
                                       session.options().motion_vectors, session.options().mb_types,
                                       read_ahead_keyword(session.options().read_ahead), session.index()->stream));
}

std::shared_ptr<H264DecoderSession> session_from_state(const SessionState& state) {
    if (state.size() != 6) {
        throw py::value_error("A pickled session is (path, deblocking, motion_vectors, mb_types, read_ahead, stream)");
    }
    return open_session(state[0].cast<std::string>(), state[1].cast<std::string>(), state[2].cast<bool>(),
                        state[3].cast<bool>(), state[4].cast<std::optional<int>>(), state[5].cast<int>());
}
