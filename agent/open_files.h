#pragma once
// OpenFiles: the files a host holds open through "fs_open" and "fs_create", each a descriptor
// kept here under a number until "fs_release". A handle belongs to the session that opened it
// (another session's number is unknown) and ends with it, at an unmount of its filesystem, or
// at release. Calls on one handle may overlap: each holds the descriptor while it works.

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "rpc/unique_fd.h"

namespace quorvale::agent {

struct OpenFile {
    explicit OpenFile(UniqueFd fd, dev_t device) : fd(std::move(fd)), device(device) {}
    UniqueFd fd;
    dev_t device;
};

class OpenFiles {
public:
    // Across all sessions: the guest's own descriptor limit is a few thousand.
    static constexpr std::size_t maxOpen = 1024;

    // Keeps `fd` for `session` and returns its handle; throws AgentError (EMFILE) when full.
    std::uint64_t add(std::uint64_t session, UniqueFd fd);
    // The open file of `handle`, or throws AgentError (EBADF).
    std::shared_ptr<OpenFile> find(std::uint64_t session, std::uint64_t handle);
    // Closes `handle` (a call still using it keeps the descriptor until it returns); true when
    // it was open.
    bool release(std::uint64_t session, std::uint64_t handle);
    void endSession(std::uint64_t session);
    void endOnDevice(std::optional<dev_t> device);
    std::size_t size();

private:
    using Key = std::pair<std::uint64_t, std::uint64_t>;  // session, handle
    std::mutex mutex_;
    std::map<Key, std::shared_ptr<OpenFile>> files_;
    std::uint64_t lastHandle_ = 0;
};

}  // namespace quorvale::agent
