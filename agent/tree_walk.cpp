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

namespace {

constexpr std::size_t namesPerPiece = 256;

}  // namespace

void TreeWalk::Visitor::unreadable(const std::string& display, int error) {
    throw AgentError::system(error, display);
}

TreeWalk::TreeWalk(UniqueFd top, std::string display, Temporaries temporaries, Vanished vanished,
                   Reading reading)
    : dirs_(std::move(top), std::move(display)),
      temporaries_(temporaries),
      vanished_(vanished),
      reading_(reading) {}

void TreeWalk::startReading(Pending& level) {
    level.reader = std::make_unique<DirectoryReader>(dirs_.fd(), dirs_.display(), temporaries_);
    if (reading_ == Reading::inPieces)
        return;
    while (const dirent* entry = level.reader->next())
        level.names.emplace_back(entry->d_name);
    level.reader.reset();
}

void TreeWalk::readPiece(Pending& level, Visitor& visitor) {
    level.names.clear();
    level.next = 0;
    try {
        while (level.names.size() < namesPerPiece) {
            const dirent* entry = level.reader->next();
            if (!entry) {
                level.reader.reset();
                return;
            }
            level.names.emplace_back(entry->d_name);
        }
    } catch (const AgentError& e) {
        if (e.kind != AgentError::Kind::system)
            throw;
        const std::string display = level.reader->display();
        level.reader.reset();
        visitor.unreadable(display, e.errnoValue);
    }
}

void TreeWalk::limitReaders() {
    std::size_t open = 0;
    for (const auto& level : pending_)
        open += level.reader ? 1 : 0;
    for (auto& level : pending_) {
        if (open <= maxReadersInPieces)
            return;
        if (!level.reader)
            continue;
        // Read whole from here: a failure fails the walk, as for a directory read whole.
        while (const dirent* entry = level.reader->next())
            level.names.emplace_back(entry->d_name);
        level.reader.reset();
        --open;
    }
}

void TreeWalk::run(Visitor& visitor) {
    while (!resume(visitor)) {
    }
}

bool TreeWalk::resume(Visitor& visitor) {
    if (!started_) {
        started_ = true;
        pending_.emplace_back();
        startReading(pending_.back());
    }
    try {
        while (!pending_.empty()) {
            auto& level = pending_.back();
            if (level.next == level.names.size() && level.reader)
                readPiece(level, visitor);
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
                if (errno != ENOENT)  // else gone meanwhile
                    visitor.unreadable(display(name), errno);
                continue;
            }
            if (!visitor.visit(dirs_.fd(), name.c_str(), st) || !S_ISDIR(st.st_mode))
                continue;
            UniqueFd sub(::openat(dirs_.fd(), name.c_str(),
                                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!sub) {
                if (vanished_ == Vanished::skip &&
                    (errno == ENOENT || errno == ENOTDIR || errno == ELOOP))
                    continue;  // gone, or replaced by a file or link, since it was seen
                visitor.unreadable(display(name), errno);
                continue;
            }
            dirs_.push(std::move(sub), name);
            Pending entered;
            entered.st = st;
            try {
                startReading(entered);
            } catch (const AgentError& e) {
                if (e.kind != AgentError::Kind::system)
                    throw;
                const std::string shown = dirs_.display();
                dirs_.pop();
                visitor.unreadable(shown, e.errnoValue);
                continue;
            }
            // `level` and `name` may move with the vector from here on.
            pending_.push_back(std::move(entered));
            limitReaders();
        }
        return true;
    } catch (...) {
        pending_.clear();
        throw;
    }
}

}  // namespace quorvale::agent
