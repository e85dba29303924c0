#pragma once
// Uploads in progress: a chunked "write_file" keeps its temporary file open here between
// chunks, so no chunk ever looks a file up by name. An upload belongs to the session that
// started it and to its destination (directory and name); it ends when published, when
// aborted ("abort_upload", or a new upload to the same destination), when its session ends,
// or after a long time without a chunk. An ended upload leaves nothing on the card.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>

#include "agent/temporary_file.h"

namespace quorvale::agent {

struct Upload {
    Upload(UniqueFd dir, const RequestPath& path) : file(std::move(dir), path) {}
    TemporaryFile file;
    std::mutex publishMutex;  // the final chunk publishes once
    std::mutex writeMutex;    // a chunk's write, with the file's flags it sets for it
};

class Uploads {
public:
    struct Key {
        std::uint64_t session;
        dev_t device;  // the destination's directory
        ino_t inode;
        std::string leaf;
        auto operator<=>(const Key&) const = default;
    };

    static constexpr std::size_t maxUploads = 32;
    static constexpr std::chrono::minutes idleLimit{5};

    // Starts an upload to `path` in the directory `dir`, ending one to the same destination.
    // Throws AgentError when too many are in progress.
    std::shared_ptr<Upload> start(std::uint64_t session, UniqueFd dir, const RequestPath& path);
    // The upload in progress for `key`, or nothing.
    std::shared_ptr<Upload> find(const Key& key);
    // Ends the upload for `key` (only when it is `only`, if given); true when there was one.
    bool end(const Key& key, const Upload* only = nullptr);
    void endSession(std::uint64_t session);
    // Ends the uploads into directories of the filesystem `device` (st_dev).
    void endOnDevice(dev_t device);
    void endAll();
    std::size_t size();

    // The key of `path` whose directory is open as `dirFd`; throws AgentError.
    static Key keyFor(std::uint64_t session, int dirFd, const RequestPath& path);

private:
    struct Entry {
        std::shared_ptr<Upload> upload;
        std::chrono::steady_clock::time_point lastUse;
    };
    std::mutex mutex_;
    std::map<Key, Entry> entries_;
};

}  // namespace quorvale::agent
