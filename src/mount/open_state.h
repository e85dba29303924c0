#pragma once
// What GuestFilesystem keeps between requests: open files with their read-ahead windows and
// writes in flight, open folders with the entries read so far, and the small awaitables its
// coroutines wait with. Everything here is touched on the filesystem's own thread only.

#include <QtCore/QPointer>

#include <sys/types.h>

#include <coroutine>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "mount/guest_filesystem.h"
#include "rpc/any_codable.h"

namespace quorvale::mount {

// co_await Wakeup{waiters}: sleeps until the next wake-up of the filesystem (a call answered,
// a write ended, the channel lost); the caller checks its condition again.
struct Wakeup {
    std::vector<std::function<void()>>& waiters;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> handle) {
        waiters.push_back([handle] { handle.resume(); });
    }
    void await_resume() const noexcept {}
};

// The outcome of one agent call, filled in by the call when it ends.
struct CallOutcome {
    bool done = false;
    rpc::AnyCodable result;
    std::exception_ptr error;
};

// Bytes of a file read ahead: [start, start + bytes.size()), `end` when the file ends there.
struct ReadWindow {
    off_t start = 0;
    std::string bytes;
    bool ready = false;
    bool failed = false;
    bool end = false;
    std::uint64_t generation = 0;
    off_t stop() const { return start + static_cast<off_t>(bytes.size()); }
};

struct GuestFilesystem::OpenFile {
    std::int64_t handle = 0;  // the agent's
    int writing = 0;          // writes in flight
    int error = 0;            // the first failure of a write sent behind the caller
    off_t nextRead = 0;       // where a sequential reader reads next
    std::vector<std::pair<off_t, off_t>> ranges;  // of the writes in flight
    std::vector<std::shared_ptr<ReadWindow>> windows;
};

struct GuestFilesystem::Directory {
    struct Entry {
        std::string name;  // bytes
        struct stat attr;
    };
    std::string path;
    fuse_ino_t node = 0;
    std::vector<Entry> entries;
    std::int64_t cookie = 0;  // where the agent's next page starts
    bool complete = false;
};

}  // namespace quorvale::mount
