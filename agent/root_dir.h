#pragma once
// RootDir: the top of one served directory tree. Every lookup goes through openat2 with
// RESOLVE_IN_ROOT relative to the root's descriptor, so "..", absolute symlinks and
// symlink loops stay inside the tree or fail. Operations on the last component of a path
// then work on the parent's descriptor with that single name and never follow it.

#include <string>

#include "agent/request_path.h"
#include "rpc/unique_fd.h"

namespace quorvale::agent {

class RootDir {
public:
    // Opens `directory`; throws AgentError on failure.
    explicit RootDir(const std::string& directory);

    int fd() const { return fd_.get(); }

    // Opens `path` (following symlinks inside the root) with open(2) `flags`.
    // Throws AgentError::system naming path.display.
    UniqueFd open(const RequestPath& path, int flags, mode_t mode = 0) const;
    // Opens the directory at `path`.
    UniqueFd openDirectory(const RequestPath& path) const;
    // Opens the directory that contains `path`; `path` must not be the root.
    UniqueFd openParent(const RequestPath& path) const;

private:
    UniqueFd fd_;
};

// Throws AgentError(invalidParams) when an operation needs a named entry but got "/".
void refuseRoot(const RequestPath& path, std::string_view member = "path");

}  // namespace quorvale::agent
