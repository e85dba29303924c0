#include "agent/open_files.h"

#include <sys/stat.h>

#include <cerrno>

#include "agent/agent_error.h"

namespace quorvale::agent {

std::uint64_t OpenFiles::add(std::uint64_t session, UniqueFd fd) {
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        throw AgentError::systemDetail(errno, "cannot keep the file open");
    std::lock_guard lock(mutex_);
    if (files_.size() >= maxOpen)
        throw AgentError::systemDetail(EMFILE, "too many files open through the agent");
    const auto handle = ++lastHandle_;
    files_.emplace(Key{session, handle}, std::make_shared<OpenFile>(std::move(fd), st.st_dev));
    return handle;
}

std::shared_ptr<OpenFile> OpenFiles::find(std::uint64_t session, std::uint64_t handle) {
    std::lock_guard lock(mutex_);
    const auto it = files_.find({session, handle});
    if (it == files_.end())
        throw AgentError::systemDetail(EBADF, "no open file " + std::to_string(handle));
    return it->second;
}

bool OpenFiles::release(std::uint64_t session, std::uint64_t handle) {
    std::shared_ptr<OpenFile> ended;  // closed outside the lock
    std::lock_guard lock(mutex_);
    const auto it = files_.find({session, handle});
    if (it == files_.end())
        return false;
    ended = std::move(it->second);
    files_.erase(it);
    return true;
}

void OpenFiles::endSession(std::uint64_t session) {
    std::vector<std::shared_ptr<OpenFile>> ended;
    std::lock_guard lock(mutex_);
    for (auto it = files_.lower_bound({session, 0});
         it != files_.end() && it->first.first == session;) {
        ended.push_back(std::move(it->second));
        it = files_.erase(it);
    }
}

void OpenFiles::endOnDevice(std::optional<dev_t> device) {
    std::vector<std::shared_ptr<OpenFile>> ended;
    std::lock_guard lock(mutex_);
    for (auto it = files_.begin(); it != files_.end();) {
        if (!device || it->second->device == *device) {
            ended.push_back(std::move(it->second));
            it = files_.erase(it);
        } else {
            ++it;
        }
    }
}

std::size_t OpenFiles::size() {
    std::lock_guard lock(mutex_);
    return files_.size();
}

}  // namespace quorvale::agent
