#include "agent/chunk_order.h"

#include <sys/stat.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>

#include "agent/agent_error.h"

namespace quorvale::agent {

namespace {

std::mutex mutex;
std::condition_variable grown;

// A write in progress grows the file page by page without waking anyone: look again this often.
constexpr std::chrono::milliseconds pollInterval{20};

std::int64_t sizeOf(int fd, const std::string& display) {
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        throw AgentError::system(errno, display);
    return st.st_size;
}

}  // namespace

std::int64_t awaitUploadSize(int fd, std::int64_t offset, const std::string& display) {
    std::unique_lock lock(mutex);
    std::int64_t seen = sizeOf(fd, display);
    auto deadline = std::chrono::steady_clock::now() + chunkPatience;
    while (seen < offset && std::chrono::steady_clock::now() < deadline) {
        grown.wait_for(lock, pollInterval);
        const std::int64_t size = sizeOf(fd, display);
        if (size != seen)
            deadline = std::chrono::steady_clock::now() + chunkPatience;
        seen = size;
    }
    return seen;
}

void uploadGrew() {
    { std::lock_guard lock(mutex); }
    grown.notify_all();
}

}  // namespace quorvale::agent
