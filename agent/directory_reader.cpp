#include "agent/directory_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "agent/agent_error.h"

namespace quorvale::agent {

DirectoryReader::DirectoryReader(int dirFd, std::string display, Temporaries temporaries)
    : dir_(nullptr, ::closedir), display_(std::move(display)), temporaries_(temporaries) {
    const int copy = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0)
        throw AgentError::system(errno, display_);
    dir_.reset(::fdopendir(copy));
    if (!dir_) {
        const int error = errno;
        ::close(copy);
        throw AgentError::system(error, display_);
    }
    // The duplicate shares its position with `dirFd`: start from the beginning.
    ::rewinddir(dir_.get());
}

const dirent* DirectoryReader::next() {
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir_.get());
        if (!entry) {
            if (errno != 0)
                throw AgentError::system(errno, display_);
            return nullptr;
        }
        const std::string_view name(entry->d_name);
        if (name == "." || name == ".." ||
            (temporaries_ == Temporaries::skip && isTemporaryName(name)))
            continue;
        return entry;
    }
}

}  // namespace quorvale::agent
