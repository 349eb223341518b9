#pragma once

#include <sys/stat.h>

#include <string>

// What tells the file a session opened from another one put at its path later (a recording
// rewritten, a file replaced): its device and inode, size and modification time, as stat
// reports them when the session opens it.
struct FileIdentity {
    // The path, made absolute against the working directory at opening: what opens the
    // same file again after a change of directory, and in another process.
    std::string path;
    // Whether stat could describe the path at all.
    bool known = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
};

FileIdentity identify_file(const std::string& path);

// For readers that open the file again by identity.path: std::runtime_error naming the file
// (as `path`, the name it was opened by) where that path now leads to another file than
// `identity` describes, or to the same one changed. A path that stat cannot describe any
// more passes, so that the opening that follows reports FFmpeg's own reason ("No such file
// or directory").
void check_same_file(const std::string& path, const FileIdentity& identity);
