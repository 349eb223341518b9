#include "ffmpeg/local_files.hpp"

#include <cstring>
#include <new>
#include <stdexcept>

namespace {

// The characters FFmpeg reads as a protocol's name before the colon (libavformat/url.h).
constexpr const char* kSchemeCharacters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-.";

}  // namespace

void check_local_path(const std::string& path) {
    const std::size_t name_length = std::strspn(path.c_str(), kSchemeCharacters);
    if (name_length == 0 || name_length >= path.size() || path[name_length] != ':') {
        return;
    }
    // "file:" too: the batches and the read-ahead reopen the file by the path made absolute,
    // which a URL does not survive.
    const std::string protocol = path.substr(0, name_length);
    throw std::invalid_argument("Only local files are opened: the path starts with '" + protocol +
                                ":', which FFmpeg reads as a URL of its " + protocol +
                                " protocol (a local file of that name opens as './" + protocol + ":...')");
}

DictionaryHandle local_files_only() {
    AVDictionary* options = nullptr;
    if (av_dict_set(&options, "protocol_whitelist", "file", 0) < 0) {
        av_dict_free(&options);
        throw std::bad_alloc();
    }
    return DictionaryHandle(options);
}
