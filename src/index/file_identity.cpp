#include "index/file_identity.hpp"

#include <climits>
#include <cstring>
#include <stdexcept>

#include <unistd.h>

namespace {

// Joined, not resolved: ".." after a symbolic link leads where the kernel takes it.
std::string absolute(const std::string& path) {
    if (path.empty() || path.front() == '/') {
        return path;
    }
    std::string directory(PATH_MAX, '\0');
    if (!getcwd(directory.data(), directory.size())) {
        return path;
    }
    directory.resize(std::strlen(directory.c_str()));
    return directory + (directory.back() == '/' ? "" : "/") + path;
}

}  // namespace

FileIdentity identify_file(const std::string& path) {
    FileIdentity identity;
    identity.path = absolute(path);
    struct stat facts {};
    if (stat(identity.path.c_str(), &facts) != 0) {
        return identity;
    }
    identity.known = true;
    identity.device = facts.st_dev;
    identity.inode = facts.st_ino;
    identity.size = facts.st_size;
    identity.modified = facts.st_mtim;
    return identity;
}

void check_same_file(const std::string& path, const FileIdentity& identity) {
    const FileIdentity now = identify_file(identity.path);
    if (!identity.known || !now.known) {
        return;
    }
    const bool same = now.device == identity.device && now.inode == identity.inode && now.size == identity.size &&
                      now.modified.tv_sec == identity.modified.tv_sec &&
                      now.modified.tv_nsec == identity.modified.tv_nsec;
    if (!same) {
        throw std::runtime_error("The file has changed since the session opened it: " + path);
    }
}
