#include "agent/chunk_order.h"

#include <sys/stat.h>

#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>
#include <utility>

#include "agent/agent_error.h"

namespace quorvale::agent {

namespace {

std::mutex mutex;
std::condition_variable written;
std::map<std::pair<dev_t, ino_t>, int> writesUnderWay;  // guarded by `mutex`

// A buffered write grows the file page by page without waking anyone: look again this often.
constexpr std::chrono::milliseconds pollInterval{20};

struct stat statOf(int fd, const std::string& display) {
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        throw AgentError::system(errno, display);
    return st;
}

}  // namespace

ChunkWrite::ChunkWrite(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) == 0) {
        device_ = st.st_dev;
        inode_ = st.st_ino;
    }
    std::lock_guard lock(mutex);
    ++writesUnderWay[{device_, inode_}];
}

ChunkWrite::~ChunkWrite() {
    {
        std::lock_guard lock(mutex);
        const auto it = writesUnderWay.find({device_, inode_});
        if (it != writesUnderWay.end() && --it->second == 0)
            writesUnderWay.erase(it);
    }
    written.notify_all();
}

std::int64_t awaitUploadSize(int fd, std::int64_t offset, const std::string& display,
                             std::chrono::milliseconds patience) {
    std::unique_lock lock(mutex);
    struct stat st = statOf(fd, display);
    const std::pair<dev_t, ino_t> file{st.st_dev, st.st_ino};
    std::int64_t seen = st.st_size;
    auto deadline = std::chrono::steady_clock::now() + patience;
    while (seen < offset) {
        const bool writing = writesUnderWay.contains(file);
        if (!writing && std::chrono::steady_clock::now() >= deadline)
            break;
        written.wait_for(lock, pollInterval);
        const std::int64_t size = statOf(fd, display).st_size;
        if (size != seen || writing)
            deadline = std::chrono::steady_clock::now() + patience;
        seen = size;
    }
    return seen;
}

}  // namespace quorvale::agent
