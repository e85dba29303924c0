#include "agent/tree_operations.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "agent/agent_error.h"
#include "agent/listing.h"
#include "agent/partition.h"
#include "agent/utf8.h"

namespace quorvale::agent {

namespace {

std::string childDisplay(const std::string& parent, const char* name) {
    return validUtf8(parent == "/" ? "/" + std::string(name) : parent + "/" + name);
}

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

void removeAt(int dirFd, const char* name, const std::string& display) {
    const auto st = lstatAt(dirFd, name, display);
    if (S_ISDIR(st.st_mode)) {
        const auto sub = openSubdirectory(dirFd, name, display);
        std::vector<std::string> names;
        // Temporaries of abandoned uploads go with their directory.
        forEachEntry(
            sub.get(), display, [&](const char* child) { names.emplace_back(child); },
            Temporaries::include);
        for (const auto& child : names)
            removeAt(sub.get(), child.c_str(), childDisplay(display, child.c_str()));
        if (::unlinkat(dirFd, name, AT_REMOVEDIR) != 0)
            throw AgentError::system(errno, display);
        return;
    }
    if (::unlinkat(dirFd, name, 0) != 0)
        throw AgentError::system(errno, display);
}

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

// Copies the entry `name` of `fromDir` to the new entry `toName` of `toDir`.
// `created` is set once the new entry exists.
void copyAt(int fromDir, const char* name, const std::string& fromDisplay, int toDir,
            const char* toName, const std::string& toDisplay, bool& created) {
    const auto st = lstatAt(fromDir, name, fromDisplay);
    if (S_ISDIR(st.st_mode)) {
        if (::mkdirat(toDir, toName, (st.st_mode & 07777) | S_IRWXU) != 0)
            throw AgentError::system(errno, toDisplay);
        created = true;
        const auto from = openSubdirectory(fromDir, name, fromDisplay);
        const auto to = openSubdirectory(toDir, toName, toDisplay);
        std::vector<std::string> names;
        forEachEntry(from.get(), fromDisplay,
                     [&](const char* child) { names.emplace_back(child); });
        for (const auto& child : names) {
            bool childCreated = false;
            copyAt(from.get(), child.c_str(), childDisplay(fromDisplay, child.c_str()), to.get(),
                   child.c_str(), childDisplay(toDisplay, child.c_str()), childCreated);
        }
        ::fchmod(to.get(), st.st_mode & 07777);
        return;
    }
    if (S_ISLNK(st.st_mode)) {
        std::string target(static_cast<std::size_t>(st.st_size) + 1, '\0');
        const auto n = ::readlinkat(fromDir, name, target.data(), target.size());
        if (n < 0)
            throw AgentError::system(errno, fromDisplay);
        target.resize(static_cast<std::size_t>(n));
        if (::symlinkat(target.c_str(), toDir, toName) != 0)
            throw AgentError::system(errno, toDisplay);
        created = true;
        return;
    }
    if (!S_ISREG(st.st_mode))
        throw AgentError::systemDetail(EINVAL, "not a regular file: " + fromDisplay);
    UniqueFd from(::openat(fromDir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!from)
        throw AgentError::system(errno, fromDisplay);
    UniqueFd to(::openat(toDir, toName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                         st.st_mode & 07777));
    if (!to)
        throw AgentError::system(errno, toDisplay);
    created = true;
    copyFileData(from.get(), to.get(), toDisplay);
}

// True when the directory `dirFd` is `ancestor` or lies below it within the partition.
bool isWithin(int dirFd, const struct stat& ancestor, const struct stat& root) {
    UniqueFd current(::fcntl(dirFd, F_DUPFD_CLOEXEC, 0));
    for (int depth = 0; current && depth < 4096; ++depth) {
        struct stat st {};
        if (::fstat(current.get(), &st) != 0)
            return false;
        if (st.st_dev == ancestor.st_dev && st.st_ino == ancestor.st_ino)
            return true;
        if (st.st_dev == root.st_dev && st.st_ino == root.st_ino)
            return false;
        UniqueFd up(::openat(current.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct stat upStat {};
        if (!up || ::fstat(up.get(), &upStat) != 0 ||
            (upStat.st_dev == st.st_dev && upStat.st_ino == st.st_ino))
            return false;
        current = std::move(up);
    }
    return false;
}

}  // namespace

std::string renameEntry(Partition& partition, const RequestPath& path, std::string_view newName) {
    refuseRoot(path);
    checkName(newName, "new_name");
    const auto target = path.parent().child(newName);
    const auto dir = partition.root.openParent(path);
    if (::renameat2(dir.get(), path.leaf().c_str(), dir.get(), target.leaf().c_str(),
                    RENAME_NOREPLACE) != 0) {
        const int error = errno;
        throw AgentError::system(error, error == EEXIST ? target.display : path.display);
    }
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
    bool created = false;
    try {
        copyAt(fromDir.get(), source.leaf().c_str(), source.display, toDir.get(),
               destination.leaf().c_str(), destination.display, created);
    } catch (const AgentError&) {
        // Nothing half-copied stays behind.
        if (created) {
            try {
                removeAt(toDir.get(), destination.leaf().c_str(), destination.display);
            } catch (const AgentError&) {
            }
        }
        throw;
    }
}

void createDirectory(Partition& partition, const RequestPath& path) {
    refuseRoot(path);
    const auto dir = partition.root.openParent(path);
    if (::mkdirat(dir.get(), path.leaf().c_str(), 0755) != 0)
        throw AgentError::system(errno, path.display);
}

void deleteEntry(Partition& partition, const RequestPath& path) {
    refuseRoot(path);
    const auto dir = partition.root.openParent(path);
    removeAt(dir.get(), path.leaf().c_str(), path.display);
}

}  // namespace quorvale::agent
