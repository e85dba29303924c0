#include "agent/root_dir.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "agent/agent_error.h"

namespace quorvale::agent {

namespace {

int openat2InRoot(int rootFd, const char* path, int flags, mode_t mode) {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
    how.mode = (flags & (O_CREAT | O_TMPFILE)) ? mode : 0;
    how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
    for (;;) {
        const long fd = ::syscall(SYS_openat2, rootFd, path, &how, sizeof how);
        // EAGAIN: a concurrent rename raced the lookup; it is safe to retry.
        if (fd < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        return static_cast<int>(fd);
    }
}

}  // namespace

RootDir::RootDir(const std::string& directory)
    : fd_(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (!fd_)
        throw AgentError::system(errno, directory);
}

UniqueFd RootDir::open(const RequestPath& path, int flags, mode_t mode) const {
    UniqueFd fd(openat2InRoot(fd_.get(), path.relative.c_str(), flags, mode));
    if (!fd)
        throw AgentError::system(errno, path.display);
    return fd;
}

UniqueFd RootDir::openDirectory(const RequestPath& path) const {
    return open(path, O_RDONLY | O_DIRECTORY);
}

UniqueFd RootDir::openParent(const RequestPath& path) const {
    UniqueFd fd(
        openat2InRoot(fd_.get(), path.parent().relative.c_str(), O_RDONLY | O_DIRECTORY, 0));
    // Named after the requested entry: a missing folder on the way means it does not exist.
    if (!fd)
        throw AgentError::system(errno, path.display);
    return fd;
}

void refuseRoot(const RequestPath& path, std::string_view member) {
    if (path.isRoot()) {
        throw AgentError::invalidParams("\"" + std::string(member) +
                                        "\" must name an entry, not the root directory");
    }
}

}  // namespace quorvale::agent
