#include "agent/tree_walk.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "agent/agent_error.h"
#include "agent/utf8.h"

namespace quorvale::agent {

namespace {

// The display path is built only when needed: it is as long as the tree is deep.
template <typename Display>
struct stat statOf(int fd, const Display& display) {
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        throw AgentError::system(errno, display());
    return st;
}

}  // namespace

DirectoryStack::DirectoryStack(UniqueFd top, std::string display)
    : topDisplay_(std::move(display)) {
    const auto st = statOf(top.get(), [&] { return topDisplay_; });
    levels_.push_back({std::move(top), st.st_dev, st.st_ino, {}});
}

void DirectoryStack::push(UniqueFd dir, std::string_view name) {
    const auto st = statOf(dir.get(), [&] { return display(name); });
    levels_.push_back({std::move(dir), st.st_dev, st.st_ino, std::string(name)});
    // Keep the deepest levels open; the one just above them is reopened when needed.
    if (levels_.size() - firstOpen_ > maxOpenDirectories) {
        levels_[firstOpen_].fd.reset();
        ++firstOpen_;
    }
}

void DirectoryStack::pop() {
    if (levels_.size() < 2)
        throw AgentError::systemDetail(EINVAL, "walked above " + topDisplay_);
    auto& parent = levels_[levels_.size() - 2];
    if (!parent.fd) {
        UniqueFd up(::openat(fd(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!up)
            throw AgentError::system(errno, displayOf(levels_.size() - 1, {}));
        struct stat st {};
        if (::fstat(up.get(), &st) != 0 || st.st_dev != parent.device ||
            st.st_ino != parent.inode) {
            // Moved away while it was walked: going on could touch another directory.
            throw AgentError::systemDetail(
                ESTALE, "moved during the operation: " + displayOf(levels_.size() - 1, {}));
        }
        parent.fd = std::move(up);
        firstOpen_ = levels_.size() - 2;
    }
    levels_.pop_back();
}

std::string DirectoryStack::display(std::string_view name) const {
    return displayOf(levels_.size(), name);
}

std::string DirectoryStack::displayOf(std::size_t count, std::string_view name) const {
    std::string path = topDisplay_ == "/" ? std::string() : topDisplay_;
    for (std::size_t i = 1; i < count; ++i) {
        path += '/';
        path += escapeName(levels_[i].name);
    }
    if (!name.empty()) {
        path += '/';
        path += escapeName(name);
    }
    return path.empty() ? "/" : path;
}

TreeWalk::TreeWalk(UniqueFd top, std::string display, Temporaries temporaries, Vanished vanished)
    : dirs_(std::move(top), std::move(display)), temporaries_(temporaries), vanished_(vanished) {}

std::vector<std::string> TreeWalk::readNames() {
    std::vector<std::string> names;
    forEachEntry(
        dirs_.fd(), dirs_.display(), [&](const char* name) { names.emplace_back(name); },
        temporaries_);
    return names;
}

void TreeWalk::run(Visitor& visitor) {
    while (!resume(visitor)) {
    }
}

bool TreeWalk::resume(Visitor& visitor) {
    if (!started_) {
        started_ = true;
        pending_.push_back({readNames()});
    }
    try {
        while (!pending_.empty()) {
            auto& level = pending_.back();
            if (level.next == level.names.size()) {
                // This directory is done: back to its parent, which then hears of it.
                const struct stat st = level.st;
                pending_.pop_back();
                if (pending_.empty())
                    return true;
                dirs_.pop();
                const auto& parent = pending_.back();
                visitor.leave(dirs_.fd(), parent.names[parent.next - 1].c_str(), st);
                continue;
            }
            if (visitor.pause())
                return false;
            const std::string& name = level.names[level.next++];
            struct stat st {};
            if (::fstatat(dirs_.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno == ENOENT)
                    continue;  // gone meanwhile
                throw AgentError::system(errno, display(name));
            }
            if (!visitor.visit(dirs_.fd(), name.c_str(), st) || !S_ISDIR(st.st_mode))
                continue;
            UniqueFd sub(::openat(dirs_.fd(), name.c_str(),
                                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!sub) {
                if (vanished_ == Vanished::skip &&
                    (errno == ENOENT || errno == ENOTDIR || errno == ELOOP))
                    continue;  // gone, or replaced by a file or link, since it was seen
                throw AgentError::system(errno, display(name));
            }
            dirs_.push(std::move(sub), name);
            // `level` and `name` may move with the vector from here on.
            pending_.push_back({readNames(), 0, st});
        }
        return true;
    } catch (...) {
        pending_.clear();
        throw;
    }
}

}  // namespace quorvale::agent
