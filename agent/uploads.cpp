#include "agent/uploads.h"

#include <sys/stat.h>

#include <cerrno>
#include <vector>

#include "agent/agent_error.h"

namespace quorvale::agent {

Uploads::Key Uploads::keyFor(std::uint64_t session, int dirFd, const RequestPath& path) {
    struct stat st {};
    if (::fstat(dirFd, &st) != 0)
        throw AgentError::system(errno, path.display);
    return {session, st.st_dev, st.st_ino, path.leaf()};
}

std::shared_ptr<Upload> Uploads::start(std::uint64_t session, UniqueFd dir,
                                       const RequestPath& path) {
    auto key = keyFor(session, dir.get(), path);
    std::vector<std::shared_ptr<Upload>> ended;  // closed outside the lock
    std::lock_guard lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (it->first == key || now - it->second.lastUse > idleLimit) {
            ended.push_back(std::move(it->second.upload));
            it = entries_.erase(it);
        } else {
            ++it;
        }
    }
    if (entries_.size() >= maxUploads)
        throw AgentError::systemDetail(EBUSY, "too many uploads in progress");
    auto upload = std::make_shared<Upload>(std::move(dir), path);
    entries_.emplace(std::move(key), Entry{upload, now});
    return upload;
}

std::shared_ptr<Upload> Uploads::find(const Key& key) {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(key);
    if (it == entries_.end())
        return nullptr;
    it->second.lastUse = std::chrono::steady_clock::now();
    return it->second.upload;
}

bool Uploads::end(const Key& key, const Upload* only) {
    std::shared_ptr<Upload> ended;
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(key);
    if (it == entries_.end() || (only && it->second.upload.get() != only))
        return false;
    ended = std::move(it->second.upload);
    entries_.erase(it);
    return true;
}

void Uploads::endSession(std::uint64_t session) {
    std::vector<std::shared_ptr<Upload>> ended;
    std::lock_guard lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (it->first.session == session) {
            ended.push_back(std::move(it->second.upload));
            it = entries_.erase(it);
        } else {
            ++it;
        }
    }
}

void Uploads::endOnDevice(dev_t device) {
    std::vector<std::shared_ptr<Upload>> ended;
    std::lock_guard lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (it->first.device == device) {
            ended.push_back(std::move(it->second.upload));
            it = entries_.erase(it);
        } else {
            ++it;
        }
    }
}

void Uploads::endAll() {
    std::map<Key, Entry> ended;
    std::lock_guard lock(mutex_);
    ended.swap(entries_);
}

std::size_t Uploads::size() {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

}  // namespace quorvale::agent
