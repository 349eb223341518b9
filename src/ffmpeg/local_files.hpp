#pragma once

#include <string>

#include "ffmpeg/handles.hpp"

// The module reads local files only. FFmpeg takes a path that starts with a protocol's name
// and a colon ("http:", "rtsp:", "tcp:") as a URL and would connect to it, and a playlist
// (HLS) or concat file can make it open further URLs of its own: a file-analysis library
// should not open connections because of a string in a table.

// std::invalid_argument where FFmpeg would read the path as a URL, of whichever protocol.
void check_local_path(const std::string& path);

// The options for avformat_open_input that allow the file protocol alone, to the demuxer and
// to whatever it opens in turn; std::bad_alloc where they cannot be made.
DictionaryHandle local_files_only();
