#pragma once

#include <memory>
#include <optional>
#include <string>

#include "h264_decoder_session.hpp"

// The constructor as Python calls it: the keywords turned into the session's options
// (read_ahead None: the automatic setting).
std::shared_ptr<H264DecoderSession> open_session(const std::string& path, const std::string& deblocking,
                                                 bool motion_vectors, bool mb_types,
                                                 const std::optional<int>& read_ahead);
