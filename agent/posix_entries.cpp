#include "agent/posix_entries.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "agent/agent_error.h"
#include "agent/json_writer.h"
#include "agent/partition.h"
#include "agent/temporary_file.h"
#include "agent/utf8.h"

namespace quorvale::agent {

namespace {

constexpr std::int64_t nanoseconds(const timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// The agent's own hidden names are not the host's to see or take.
void refuseReserved(const RequestPath& path, int error) {
    if (isTemporaryName(path.leaf()))
        throw AgentError::system(error, path.display);
}

void adoptFolderOwner(int dirFd, const char* name) {
    struct stat folder {};
    if (::fstat(dirFd, &folder) == 0)
        ::fchownat(dirFd, name, folder.st_uid, folder.st_gid, AT_SYMLINK_NOFOLLOW);
}

struct stat lstatAt(int dirFd, const RequestPath& path) {
    struct stat st {};
    if (::fstatat(dirFd, path.leaf().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        throw AgentError::system(errno, path.display);
    return st;
}

struct stat fstatOf(int fd, const RequestPath& path) {
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        throw AgentError::system(errno, path.display);
    return st;
}

// Reopens the regular file behind the O_PATH handle `handle` for reading or writing; anything
// else (a device node, a FIFO, a socket) is never opened.
UniqueFd reopenRegular(const UniqueFd& handle, const RequestPath& path, int flags) {
    const auto st = fstatOf(handle.get(), path);
    if (S_ISDIR(st.st_mode))
        throw AgentError::system(EISDIR, path.display);
    if (S_ISLNK(st.st_mode))
        throw AgentError::system(ELOOP, path.display);
    if (!S_ISREG(st.st_mode))
        throw AgentError::systemDetail(EINVAL, "not a regular file: " + path.display);
    const std::string proc = "/proc/self/fd/" + std::to_string(handle.get());
    UniqueFd fd(::open(proc.c_str(), flags | O_CLOEXEC));
    if (!fd)
        throw AgentError::system(errno, path.display);
    return fd;
}

}  // namespace

UniqueFd openInPartition(const Partition& partition, const RequestPath& path, int flags,
                         mode_t mode) {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
    how.mode = (flags & O_CREAT) ? mode : 0;
    how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_NO_XDEV;
    for (;;) {
        const long fd =
            ::syscall(SYS_openat2, partition.root.fd(), path.relative.c_str(), &how, sizeof how);
        if (fd >= 0)
            return UniqueFd(static_cast<int>(fd));
        if (errno != EINTR && errno != EAGAIN)
            throw AgentError::system(errno, path.display);
    }
}

UniqueFd openParentInPartition(const Partition& partition, const RequestPath& path) {
    refuseRoot(path);
    return openInPartition(partition, path.parent(), O_RDONLY | O_DIRECTORY);
}

void appendAttributes(std::string& out, const struct stat& st) {
    out += R"({"ino":)";
    appendJSONNumber(out, static_cast<std::int64_t>(st.st_ino));
    out += R"(,"mode":)";
    appendJSONNumber(out, static_cast<std::int64_t>(st.st_mode));
    out += R"(,"nlink":)";
    appendJSONNumber(out, static_cast<std::int64_t>(st.st_nlink));
    out += R"(,"size":)";
    appendJSONNumber(out, static_cast<std::int64_t>(st.st_size));
    out += R"(,"blocks":)";
    appendJSONNumber(out, static_cast<std::int64_t>(st.st_blocks));
    out += R"(,"atime":)";
    appendJSONNumber(out, nanoseconds(st.st_atim));
    out += R"(,"mtime":)";
    appendJSONNumber(out, nanoseconds(st.st_mtim));
    out += R"(,"ctime":)";
    appendJSONNumber(out, nanoseconds(st.st_ctim));
    out += '}';
}

std::string attributesJSON(const struct stat& st) {
    std::string out;
    appendAttributes(out, st);
    return out;
}

struct stat statPath(const Partition& partition, const RequestPath& path) {
    if (path.isRoot())
        return fstatOf(partition.root.fd(), path);
    refuseReserved(path, ENOENT);
    return lstatAt(openParentInPartition(partition, path).get(), path);
}

std::string readDirectoryPage(const Partition& partition, const RequestPath& path,
                              std::int64_t offset, std::size_t maxEntries) {
    auto fd = openInPartition(partition, path, O_RDONLY | O_DIRECTORY);
    DIR* dir = ::fdopendir(fd.get());
    if (!dir)
        throw AgentError::system(errno, path.display);
    fd.release();
    const std::unique_ptr<DIR, int (*)(DIR*)> closer(dir, ::closedir);
    if (offset != 0)
        ::seekdir(dir, static_cast<long>(offset));
    std::string out = R"({"entries":[)";
    std::size_t count = 0;
    bool done = false;
    while (count < maxEntries) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (!entry) {
            if (errno != 0)
                throw AgentError::system(errno, path.display);
            done = true;
            break;
        }
        const std::string_view name = entry->d_name;
        if (name == "." || name == ".." || isTemporaryName(name))
            continue;
        struct stat st {};
        if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;  // gone meanwhile
        if (count++ > 0)
            out += ',';
        out += R"({"name":)";
        appendJSONString(out, escapeName(name));
        out += R"(,"next":)";
        appendJSONNumber(out, static_cast<std::int64_t>(entry->d_off));
        out += R"(,"attr":)";
        appendAttributes(out, st);
        out += '}';
    }
    out += R"(],"done":)";
    appendJSONBool(out, done);
    out += '}';
    return out;
}

UniqueFd openRegularFile(const Partition& partition, const RequestPath& path,
                         const OpenRequest& request) {
    const int flags = request.access | (request.truncate ? O_TRUNC : 0);
    if (request.create) {
        refuseRoot(path);
        refuseReserved(path, EACCES);
        const auto dir = openParentInPartition(partition, path);
        UniqueFd fd(::openat(dir.get(), path.leaf().c_str(),
                             flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                             keptMode(request.mode)));
        if (fd) {
            struct stat folder {};
            if (::fstat(dir.get(), &folder) == 0)
                ::fchown(fd.get(), folder.st_uid, folder.st_gid);
            // Not the agent's umask: the host applied the user's.
            if (::fchmod(fd.get(), keptMode(request.mode)) != 0)
                throw AgentError::system(errno, path.display);
            return fd;
        }
        if (errno != EEXIST || request.exclusive)
            throw AgentError::system(errno, path.display);
    }
    refuseReserved(path, ENOENT);
    const auto handle = openInPartition(partition, path, O_PATH | O_NOFOLLOW);
    return reopenRegular(handle, path, flags);
}

struct stat makeDirectory(const Partition& partition, const RequestPath& path, mode_t mode) {
    refuseReserved(path, EACCES);
    const auto dir = openParentInPartition(partition, path);
    if (::mkdirat(dir.get(), path.leaf().c_str(), keptMode(mode)) != 0)
        throw AgentError::system(errno, path.display);
    const UniqueFd created(
        ::openat(dir.get(), path.leaf().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!created)
        throw AgentError::system(errno, path.display);
    const auto folder = fstatOf(dir.get(), path);
    ::fchown(created.get(), folder.st_uid, folder.st_gid);
    // Also clears a set-group-ID bit handed down by the folder.
    if (::fchmod(created.get(), keptMode(mode)) != 0)
        throw AgentError::system(errno, path.display);
    return fstatOf(created.get(), path);
}

struct stat makeSymlink(const Partition& partition, const RequestPath& path,
                        std::string_view target) {
    refuseReserved(path, EACCES);
    const std::string bytes = unescapeName(target);
    if (bytes.empty() || bytes.find('\0') != std::string::npos || bytes.size() > 4095)
        throw AgentError::invalidParams("\"target\" is not a usable link target");
    const auto dir = openParentInPartition(partition, path);
    if (::symlinkat(bytes.c_str(), dir.get(), path.leaf().c_str()) != 0)
        throw AgentError::system(errno, path.display);
    adoptFolderOwner(dir.get(), path.leaf().c_str());
    return lstatAt(dir.get(), path);
}

struct stat makeHardLink(const Partition& partition, const RequestPath& existing,
                         const RequestPath& path) {
    refuseReserved(existing, ENOENT);
    refuseReserved(path, EACCES);
    const auto from = openParentInPartition(partition, existing);
    const auto to = openParentInPartition(partition, path);
    // Flags 0: a symlink is linked itself, never followed.
    if (::linkat(from.get(), existing.leaf().c_str(), to.get(), path.leaf().c_str(), 0) != 0) {
        const int error = errno;
        throw AgentError::system(error, error == EEXIST ? path.display : existing.display);
    }
    return lstatAt(to.get(), path);
}

std::string readSymlink(const Partition& partition, const RequestPath& path) {
    refuseReserved(path, ENOENT);
    const auto dir = openParentInPartition(partition, path);
    std::string target(4096, '\0');
    const auto n = ::readlinkat(dir.get(), path.leaf().c_str(), target.data(), target.size());
    if (n < 0)
        throw AgentError::system(errno, path.display);
    target.resize(static_cast<std::size_t>(n));
    return escapeName(target);
}

void removeEntry(const Partition& partition, const RequestPath& path, bool directory) {
    refuseReserved(path, ENOENT);
    const auto dir = openParentInPartition(partition, path);
    if (::unlinkat(dir.get(), path.leaf().c_str(), directory ? AT_REMOVEDIR : 0) != 0)
        throw AgentError::system(errno, path.display);
}

void renamePath(const Partition& partition, const RequestPath& from, const RequestPath& to,
                RenameMode mode) {
    refuseReserved(from, ENOENT);
    refuseReserved(to, mode == RenameMode::exchange ? ENOENT : EACCES);
    const auto fromDir = openParentInPartition(partition, from);
    const auto toDir = openParentInPartition(partition, to);
    const unsigned flags = mode == RenameMode::noReplace  ? RENAME_NOREPLACE
                           : mode == RenameMode::exchange ? RENAME_EXCHANGE
                                                          : 0;
    if (::renameat2(fromDir.get(), from.leaf().c_str(), toDir.get(), to.leaf().c_str(), flags) !=
        0) {
        const int error = errno;
        throw AgentError::system(error,
                                 error == EEXIST || error == ENOTEMPTY ? to.display : from.display);
    }
}

struct stat changeAttributes(const Partition& partition, const RequestPath& path, int fd,
                             const AttributeChange& change) {
    if (change.mode && (*change.mode & ~07777 || *change.mode & (S_ISUID | S_ISGID)))
        throw AgentError::systemDetail(EPERM, "no set-ID bits on the card: " + path.display);
    UniqueFd dir;
    if (fd < 0 && !path.isRoot()) {
        refuseReserved(path, ENOENT);
        dir = openParentInPartition(partition, path);
    }
    const int self = fd >= 0 ? fd : path.isRoot() ? partition.root.fd() : -1;
    if (change.size) {
        if (*change.size < 0)
            throw AgentError::system(EINVAL, path.display);
        UniqueFd opened;
        int target = self;
        if (fd < 0) {
            opened = openRegularFile(partition, path, {O_WRONLY});
            target = opened.get();
        }
        if (::ftruncate(target, *change.size) != 0)
            throw AgentError::system(errno, path.display);
    }
    if (change.mode) {
        const int result = self >= 0 ? ::fchmod(self, *change.mode)
                                     : ::fchmodat(dir.get(), path.leaf().c_str(), *change.mode,
                                                  AT_SYMLINK_NOFOLLOW);
        if (result != 0)
            throw AgentError::system(errno, path.display);
    }
    if (change.atime || change.mtime) {
        const timespec times[2] = {change.atime.value_or(timespec{0, UTIME_OMIT}),
                                   change.mtime.value_or(timespec{0, UTIME_OMIT})};
        const int result =
            self >= 0 ? ::futimens(self, times)
                      : ::utimensat(dir.get(), path.leaf().c_str(), times, AT_SYMLINK_NOFOLLOW);
        if (result != 0)
            throw AgentError::system(errno, path.display);
    }
    return self >= 0 ? fstatOf(self, path) : lstatAt(dir.get(), path);
}

std::string filesystemStatistics(const Partition& partition) {
    struct statvfs s {};
    if (::fstatvfs(partition.root.fd(), &s) != 0)
        throw AgentError::system(errno, "/");
    std::string out;
    const auto member = [&](const char* name, std::uint64_t value, bool first = false) {
        out += first ? "{\"" : ",\"";
        out += name;
        out += "\":";
        appendJSONNumber(out, static_cast<std::int64_t>(value));
    };
    member("bsize", s.f_bsize, true);
    member("frsize", s.f_frsize);
    member("blocks", s.f_blocks);
    member("bfree", s.f_bfree);
    member("bavail", s.f_bavail);
    member("files", s.f_files);
    member("ffree", s.f_ffree);
    member("namemax", s.f_namemax);
    out += '}';
    return out;
}

}  // namespace quorvale::agent
