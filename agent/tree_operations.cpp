#include "agent/tree_operations.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "agent/agent_error.h"
#include "agent/listing.h"
#include "agent/partition.h"
#include "agent/temporary_file.h"
#include "agent/tree_walk.h"
#include "agent/utf8.h"

namespace quorvale::agent {

namespace {

struct stat lstatAt(int dirFd, const char* name, const std::string& display) {
    struct stat st {};
    if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        throw AgentError::system(errno, display);
    return st;
}

UniqueFd openSubdirectory(int dirFd, const char* name, const std::string& display) {
    UniqueFd fd(::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd)
        throw AgentError::system(errno, display);
    return fd;
}

// Removes everything below a directory, deepest first, then the directory itself.
class Remover : public TreeWalk::Visitor {
public:
    explicit Remover(const TreeWalk& walk) : walk_(walk) {}
    bool visit(int dirFd, const char* name, const struct stat& st) override {
        if (S_ISDIR(st.st_mode))
            return true;
        if (::unlinkat(dirFd, name, 0) != 0 && errno != ENOENT)
            throw AgentError::system(errno, walk_.display(name));
        return false;
    }
    void leave(int dirFd, const char* name, const struct stat&) override {
        if (::unlinkat(dirFd, name, AT_REMOVEDIR) != 0)
            throw AgentError::system(errno, walk_.display(name));
    }

private:
    const TreeWalk& walk_;
};

// Puts the changes to the directory `dirFd` on the disk (on ext4 with every change before them:
// the journal commits whole).
void flushDirectory(int dirFd, const std::string& display) {
    if (::fsync(dirFd) != 0)
        throw AgentError::system(errno, display);
}

// Puts an inode's own changes (mode, times) on the disk: a parent's fsync commits only changes
// to that parent. Files and folders are reopened through a path handle, so that nothing else
// (a device node or FIFO swapped in meanwhile) is ever opened; anything else syncs the whole
// file system instead.
void syncInode(int dirFd, const char* name, const std::string& display) {
    UniqueFd handle(::openat(dirFd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (handle && ::fstat(handle.get(), &st) == 0 && (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))) {
        const std::string proc = "/proc/self/fd/" + std::to_string(handle.get());
        UniqueFd fd(::open(proc.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        if (!fd || ::fsync(fd.get()) != 0)
            throw AgentError::system(errno, display);
        return;
    }
    if (::syncfs(dirFd) != 0)
        throw AgentError::system(errno, display);
}

}  // namespace

void removeEntryAt(int dirFd, const char* name, const std::string& display) {
    const auto st = lstatAt(dirFd, name, display);
    if (S_ISDIR(st.st_mode)) {
        // Temporaries of abandoned uploads go with their directory.
        TreeWalk walk(openSubdirectory(dirFd, name, display), display, Temporaries::include);
        Remover remover(walk);
        walk.run(remover);
        if (::unlinkat(dirFd, name, AT_REMOVEDIR) != 0)
            throw AgentError::system(errno, display);
        return;
    }
    if (::unlinkat(dirFd, name, 0) != 0)
        throw AgentError::system(errno, display);
}

namespace {

void copyFileData(int from, int to, const std::string& display) {
    for (;;) {
        const auto n = ::copy_file_range(from, nullptr, to, nullptr, std::size_t{1} << 30, 0);
        if (n > 0)
            continue;
        if (n == 0)
            return;
        if (errno == EINTR)
            continue;
        if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
            throw AgentError::system(errno, display);
        break;  // not supported here: plain read/write below
    }
    std::vector<char> buffer(std::size_t{1} << 20);
    for (;;) {
        const auto n = ::read(from, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw AgentError::system(errno, display);
        if (n == 0)
            return;
        std::size_t done = 0;
        while (done < static_cast<std::size_t>(n)) {
            const auto w = ::write(to, buffer.data() + done, static_cast<std::size_t>(n) - done);
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0)
                throw AgentError::system(errno, display);
            done += static_cast<std::size_t>(w);
        }
    }
}

// Copies one entry that is not a directory: a symlink as a link, a regular file with its data.
// `created` (when given) is set once the new entry exists.
void copyLeaf(int fromDir, const char* name, const struct stat& st, const std::string& fromDisplay,
              int toDir, const char* toName, const std::string& toDisplay,
              bool* created = nullptr) {
    if (S_ISLNK(st.st_mode)) {
        std::string target(static_cast<std::size_t>(st.st_size) + 1, '\0');
        const auto n = ::readlinkat(fromDir, name, target.data(), target.size());
        if (n < 0)
            throw AgentError::system(errno, fromDisplay);
        target.resize(static_cast<std::size_t>(n));
        if (::symlinkat(target.c_str(), toDir, toName) != 0)
            throw AgentError::system(errno, toDisplay);
        if (created)
            *created = true;
        return;
    }
    if (!S_ISREG(st.st_mode))
        throw AgentError::systemDetail(EINVAL, "not a regular file: " + fromDisplay);
    UniqueFd from(::openat(fromDir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!from)
        throw AgentError::system(errno, fromDisplay);
    struct stat opened {};
    if (::fstat(from.get(), &opened) != 0 || !S_ISREG(opened.st_mode))
        throw AgentError::systemDetail(EINVAL, "not a regular file: " + fromDisplay);
    UniqueFd to(::openat(toDir, toName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                         keptMode(st.st_mode)));
    if (!to)
        throw AgentError::system(errno, toDisplay);
    if (created)
        *created = true;
    copyFileData(from.get(), to.get(), toDisplay);
}

// Creates the directory `toName` in `toDir` for a copy of a directory of mode `mode`; it stays
// writable until its contents are in (see finishDirectory).
UniqueFd createCopyDirectory(int toDir, const char* toName, mode_t mode,
                             const std::string& toDisplay) {
    if (::mkdirat(toDir, toName, keptMode(mode) | S_IRWXU) != 0)
        throw AgentError::system(errno, toDisplay);
    return openSubdirectory(toDir, toName, toDisplay);
}

// Gives a copied directory its source's mode; this also clears a set-group-ID bit inherited
// from its new parent.
void finishDirectory(int dirFd, mode_t mode) {
    ::fchmod(dirFd, keptMode(mode));
}

// Copies the contents of a directory tree into a new one, level by level alongside the walk.
class Copier : public TreeWalk::Visitor {
public:
    Copier(const TreeWalk& walk, UniqueFd destination, const std::string& destinationDisplay)
        : walk_(walk), to_(std::move(destination), destinationDisplay) {}

    bool visit(int dirFd, const char* name, const struct stat& st) override {
        if (S_ISDIR(st.st_mode)) {
            to_.push(createCopyDirectory(to_.fd(), name, st.st_mode, to_.display(name)), name);
            return true;
        }
        copyLeaf(dirFd, name, st, walk_.display(name), to_.fd(), name, to_.display(name));
        return false;
    }
    void leave(int, const char*, const struct stat& st) override {
        finishDirectory(to_.fd(), st.st_mode);
        to_.pop();
    }

private:
    const TreeWalk& walk_;
    DirectoryStack to_;
};

// Copies the entry `name` of `fromDir` to the new entry `toName` of `toDir`.
// `created` is set once the new entry exists.
void copyAt(int fromDir, const char* name, const std::string& fromDisplay, int toDir,
            const char* toName, const std::string& toDisplay, bool& created) {
    const auto st = lstatAt(fromDir, name, fromDisplay);
    if (!S_ISDIR(st.st_mode))
        return copyLeaf(fromDir, name, st, fromDisplay, toDir, toName, toDisplay, &created);
    UniqueFd to = createCopyDirectory(toDir, toName, st.st_mode, toDisplay);
    created = true;
    UniqueFd toTop(::fcntl(to.get(), F_DUPFD_CLOEXEC, 0));
    if (!toTop)
        throw AgentError::system(errno, toDisplay);
    TreeWalk walk(openSubdirectory(fromDir, name, fromDisplay), fromDisplay);
    Copier copier(walk, std::move(to), toDisplay);
    walk.run(copier);
    finishDirectory(toTop.get(), st.st_mode);
}

// True when the directory `dirFd` is `ancestor` or lies below it within the partition. Goes up
// one ".." at a time, so any depth works with two descriptors.
bool isWithin(int dirFd, const struct stat& ancestor, const struct stat& root) {
    UniqueFd current(::fcntl(dirFd, F_DUPFD_CLOEXEC, 0));
    while (current) {
        struct stat st {};
        if (::fstat(current.get(), &st) != 0)
            return true;  // cannot tell: refuse rather than copy a tree into itself
        if (st.st_dev == ancestor.st_dev && st.st_ino == ancestor.st_ino)
            return true;
        if (st.st_dev == root.st_dev && st.st_ino == root.st_ino)
            return false;
        UniqueFd up(::openat(current.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct stat upStat {};
        if (!up || ::fstat(up.get(), &upStat) != 0)
            return true;
        if (upStat.st_dev == st.st_dev && upStat.st_ino == st.st_ino)
            return false;  // the top of the filesystem: not below the ancestor
        current = std::move(up);
    }
    return true;
}

}  // namespace

std::string renameEntry(Partition& partition, const RequestPath& path, std::string_view newName) {
    refuseRoot(path);
    const auto target = path.parent().child(parseName(newName, "new_name"));
    const auto dir = partition.root.openParent(path);
    if (::renameat2(dir.get(), path.leaf().c_str(), dir.get(), target.leaf().c_str(),
                    RENAME_NOREPLACE) != 0) {
        const int error = errno;
        throw AgentError::system(error, error == EEXIST ? target.display : path.display);
    }
    flushDirectory(dir.get(), target.display);
    return target.display;
}

void copyEntry(Partition& from, const RequestPath& source, Partition& to,
               const RequestPath& destination) {
    refuseRoot(source);
    refuseRoot(destination, "dest_path");
    const auto fromDir = from.root.openParent(source);
    const auto toDir = to.root.openParent(destination);
    const auto st = lstatAt(fromDir.get(), source.leaf().c_str(), source.display);
    if (S_ISDIR(st.st_mode)) {
        struct stat root {};
        ::fstat(to.root.fd(), &root);
        if (isWithin(toDir.get(), st, root)) {
            throw AgentError::systemDetail(
                EINVAL,
                "cannot copy " + source.display + " into itself (" + destination.display + ")");
        }
    }
    if (S_ISLNK(st.st_mode)) {
        // A link is made whole in one step and never replaces anything.
        copyLeaf(fromDir.get(), source.leaf().c_str(), st, source.display, toDir.get(),
                 destination.leaf().c_str(), destination.display);
        flushDirectory(toDir.get(), destination.display);
        return;
    }
    // Refused before any byte is copied; the publishing rename refuses it again.
    struct stat existing {};
    if (::fstatat(toDir.get(), destination.leaf().c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0)
        throw AgentError::system(EEXIST, destination.display);
    // Made under a hidden name, flushed, and only then given its name: whatever happens
    // meanwhile (a failure, a crash, a pulled card), no part of it is ever under the final name,
    // and once the call returns the whole copy is on the disk. A leftover is swept at the next
    // read-write mount.
    const ReservedTemporaryName hidden;
    bool created = false;
    try {
        copyAt(fromDir.get(), source.leaf().c_str(), source.display, toDir.get(),
               hidden.name().c_str(), destination.display, created);
        if (::syncfs(toDir.get()) != 0)
            throw AgentError::system(errno, destination.display);
        if (::renameat2(toDir.get(), hidden.name().c_str(), toDir.get(), destination.leaf().c_str(),
                        RENAME_NOREPLACE) != 0)
            throw AgentError::system(errno, destination.display);
    } catch (const AgentError&) {
        // Nothing half-copied stays behind.
        if (created) {
            try {
                removeEntryAt(toDir.get(), hidden.name().c_str(), destination.display);
            } catch (const AgentError&) {
            }
        }
        throw;
    }
    flushDirectory(toDir.get(), destination.display);
}

void createDirectory(Partition& partition, const RequestPath& path) {
    refuseRoot(path);
    const auto dir = partition.root.openParent(path);
    if (::mkdirat(dir.get(), path.leaf().c_str(), 0755) != 0)
        throw AgentError::system(errno, path.display);
    // A set-group-ID parent hands its bit down to new directories; the agent sets none.
    const UniqueFd created(
        ::openat(dir.get(), path.leaf().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (created && ::fstat(created.get(), &st) == 0 && (st.st_mode & S_ISGID))
        ::fchmod(created.get(), keptMode(st.st_mode));
    flushDirectory(dir.get(), path.display);
}

void deleteEntry(Partition& partition, const RequestPath& path) {
    refuseRoot(path);
    const auto dir = partition.root.openParent(path);
    removeEntryAt(dir.get(), path.leaf().c_str(), path.display);
    flushDirectory(dir.get(), path.parent().display);
}

}  // namespace quorvale::agent

namespace quorvale::agent {

std::string moveEntry(Partition& partition, const RequestPath& source,
                      const RequestPath& destination) {
    refuseRoot(source);
    refuseRoot(destination, "dest_path");
    const auto fromDir = partition.root.openParent(source);
    const auto toDir = partition.root.openParent(destination);
    const auto st = lstatAt(fromDir.get(), source.leaf().c_str(), source.display);
    if (S_ISDIR(st.st_mode)) {
        struct stat root {};
        ::fstat(partition.root.fd(), &root);
        if (isWithin(toDir.get(), st, root)) {
            throw AgentError::systemDetail(EINVAL, "cannot move the folder " + source.display +
                                                       " into itself (" + destination.display +
                                                       ")");
        }
    }
    if (::renameat2(fromDir.get(), source.leaf().c_str(), toDir.get(), destination.leaf().c_str(),
                    RENAME_NOREPLACE) != 0) {
        const int error = errno;
        throw AgentError::system(error, error == EEXIST ? destination.display : source.display);
    }
    // On the disk before it is acknowledged (one journal commit holds both directories).
    if (::fsync(toDir.get()) != 0)
        throw AgentError::system(errno, destination.display);
    return destination.display;
}

void createSymlink(Partition& partition, const RequestPath& path, std::string_view target,
                   std::optional<timespec> mtime, bool replace) {
    refuseRoot(path);
    const std::string bytes = unescapeName(target);
    if (bytes.empty() || bytes.find('\0') != std::string::npos || bytes.size() > 4095)
        throw AgentError::invalidParams("\"target\" is not a usable link target");
    const auto dir = partition.root.openParent(path);
    // Made under a hidden name, then named in one step: a replaced entry is never missing.
    const std::string hidden = randomTemporaryName();
    if (::symlinkat(bytes.c_str(), dir.get(), hidden.c_str()) != 0)
        throw AgentError::system(errno, path.display);
    try {
        if (mtime) {
            const timespec times[2] = {{0, UTIME_OMIT}, *mtime};
            if (::utimensat(dir.get(), hidden.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
                throw AgentError::system(errno, path.display);
        }
        if (replace) {
            struct stat old {};
            if (::fstatat(dir.get(), path.leaf().c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISDIR(old.st_mode))
                throw AgentError::system(EISDIR, path.display);
        }
        if (::renameat2(dir.get(), hidden.c_str(), dir.get(), path.leaf().c_str(),
                        replace ? 0 : RENAME_NOREPLACE) != 0)
            throw AgentError::system(errno, path.display);
    } catch (const AgentError&) {
        ::unlinkat(dir.get(), hidden.c_str(), 0);
        throw;
    }
    if (::fsync(dir.get()) != 0)
        throw AgentError::system(errno, path.display);
}

void setAttributes(Partition& partition, const RequestPath& path, std::optional<mode_t> mode,
                   std::optional<timespec> mtime) {
    refuseRoot(path);
    const auto dir = partition.root.openParent(path);
    const char* leaf = path.leaf().c_str();
    const auto st = lstatAt(dir.get(), leaf, path.display);
    if (mode && !S_ISLNK(st.st_mode)) {
        if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
            throw AgentError::systemDetail(EINVAL, "not a file or folder: " + path.display);
        // Opened without following a link, so a name swapped meanwhile cannot redirect it.
        UniqueFd fd(::openat(dir.get(), leaf, O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat opened {};
        if (!fd || ::fstat(fd.get(), &opened) != 0)
            throw AgentError::system(errno, path.display);
        if (S_ISLNK(opened.st_mode))
            throw AgentError::systemDetail(EINVAL, "changed meanwhile: " + path.display);
        const std::string proc = "/proc/self/fd/" + std::to_string(fd.get());
        if (::chmod(proc.c_str(), keptMode(*mode)) != 0)
            throw AgentError::system(errno, path.display);
    }
    if (mtime) {
        const timespec times[2] = {{0, UTIME_OMIT}, *mtime};
        if (::utimensat(dir.get(), leaf, times, AT_SYMLINK_NOFOLLOW) != 0)
            throw AgentError::system(errno, path.display);
    }
    if (mode || mtime)
        syncInode(dir.get(), leaf, path.display);
}

}  // namespace quorvale::agent
