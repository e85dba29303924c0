#pragma once
// Files that root writes for the system to act on (unit files, polkit policy), written so that
// nobody else can steer the write: the directory is reached from "/" one component at a time
// without following symbolic links, and every directory on the way must belong to root and be
// writable by root alone (a sticky directory such as /tmp passes, since what root owns inside
// it stays root's). A file is created under a random name with O_EXCL and O_NOFOLLOW, written,
// synced and renamed over its final name; a symbolic link or anything but a regular file at
// the final name is refused, never followed or replaced. Refusals throw TrustError.

#include <filesystem>
#include <stdexcept>
#include <string>

#include "rpc/unique_fd.h"

namespace quorvale::helper {

class TrustError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TrustedDirectory {
public:
    // Opens `path` (absolute), creating missing directories as root with mode 0755.
    explicit TrustedDirectory(const std::filesystem::path& path);

    const std::filesystem::path& path() const { return path_; }
    // Throws unless `name` is absent or a regular file that may be replaced.
    void checkReplaceable(const std::string& name) const;
    // Replaces `name` with `text`, mode 0644, owned by root.
    void write(const std::string& name, const std::string& text) const;

private:
    std::filesystem::path path_;
    UniqueFd fd_;
};

}  // namespace quorvale::helper
