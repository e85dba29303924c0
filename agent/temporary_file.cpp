#include "agent/temporary_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <set>

#include "agent/agent_error.h"

namespace quorvale::agent {

namespace {

constexpr mode_t newFileMode = 0644;
// Random names practically never collide; a few tries cover a crafted card that holds one.
constexpr int nameAttempts = 8;

std::mutex namesMutex;
std::set<std::string, std::less<>> namesInUse;  // guarded by namesMutex

void fillRandom(unsigned char* bytes, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const auto n = ::getrandom(bytes + done, size - done, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw AgentError::systemDetail(errno, "getrandom");
        done += static_cast<std::size_t>(n);
    }
}

bool unnamedFilesUnsupported(int error) {
    // EISDIR: kernels without O_TMPFILE read it as O_DIRECTORY.
    return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

// Links the open unnamed file `fd` as `name` in `dirFd`. As root AT_EMPTY_PATH does it; else
// the file's /proc entry.
bool linkUnnamed(int fd, int dirFd, const std::string& name) {
    if (::linkat(fd, "", dirFd, name.c_str(), AT_EMPTY_PATH) == 0)
        return true;
    if (errno != ENOENT && errno != EPERM)
        return false;
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    return ::linkat(AT_FDCWD, proc.c_str(), dirFd, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

}  // namespace

namespace {

bool allOf(std::string_view text, bool (*test)(char)) {
    return std::all_of(text.begin(), text.end(), test);
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isHexDigit(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'f');
}

}  // namespace

bool isTemporaryName(std::string_view name) {
    if (name.substr(0, temporaryPrefix.size()) != temporaryPrefix)
        return false;
    const auto rest = name.substr(temporaryPrefix.size());
    // Ours: 32 hex digits. Earlier agents': "u" and 16 hex digits for chunked uploads, "w",
    // a pid, "-" and a counter for whole writes.
    if (rest.size() == 32)
        return allOf(rest, isHexDigit);
    if (rest.size() == 17 && rest.front() == 'u')
        return allOf(rest.substr(1), isHexDigit);
    if (rest.size() < 4 || rest.front() != 'w')
        return false;
    const auto dash = rest.find('-');
    if (dash == std::string_view::npos)
        return false;
    const auto pid = rest.substr(1, dash - 1);
    const auto counter = rest.substr(dash + 1);
    return !pid.empty() && !counter.empty() && allOf(pid, isDigit) && allOf(counter, isDigit);
}

std::string randomTemporaryName() {
    unsigned char bytes[16];
    fillRandom(bytes, sizeof bytes);
    static constexpr char hex[] = "0123456789abcdef";
    std::string name(temporaryPrefix);
    for (const unsigned char b : bytes) {
        name += hex[b >> 4];
        name += hex[b & 0xF];
    }
    return name;
}

ReservedTemporaryName::ReservedTemporaryName() : name_(randomTemporaryName()) {
    std::lock_guard lock(namesMutex);
    namesInUse.insert(name_);
}

ReservedTemporaryName::~ReservedTemporaryName() {
    std::lock_guard lock(namesMutex);
    namesInUse.erase(name_);
}

TemporaryFile::TemporaryFile(UniqueFd dir, const RequestPath& path) : dir_(std::move(dir)) {
    file_.reset(::openat(dir_.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, newFileMode));
    if (file_)
        return;
    if (!unnamedFilesUnsupported(errno))
        throw AgentError::system(errno, path.display);
    for (int attempt = 0; attempt < nameAttempts && !file_; ++attempt) {
        std::string name = randomTemporaryName();
        {
            std::lock_guard lock(namesMutex);
            namesInUse.insert(name);
        }
        file_.reset(::openat(dir_.get(), name.c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, newFileMode));
        const int error = errno;
        if (file_) {
            name_ = std::move(name);
            return;
        }
        {
            std::lock_guard lock(namesMutex);
            namesInUse.erase(name);
        }
        if (error != EEXIST)
            throw AgentError::system(error, path.display);
    }
    throw AgentError::system(EEXIST, path.display);
}

TemporaryFile::~TemporaryFile() {
    if (published_ || name_.empty())
        return;
    ::unlinkat(dir_.get(), name_.c_str(), 0);
    std::lock_guard lock(namesMutex);
    namesInUse.erase(name_);
}

void TemporaryFile::publish(const RequestPath& path, const PublishOptions& options) {
    if (published_)
        throw AgentError::systemDetail(EINVAL, "already published: " + path.display);
    const int dirFd = dir_.get();
    struct stat old {};
    if (::fstatat(dirFd, path.leaf().c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!options.replace)
            throw AgentError::system(EEXIST, path.display);
        if (S_ISDIR(old.st_mode))
            throw AgentError::system(EISDIR, path.display);
        if (S_ISREG(old.st_mode) && !options.mode)
            ::fchmod(file_.get(), keptMode(old.st_mode));
    }
    if (options.mode && ::fchmod(file_.get(), keptMode(*options.mode)) != 0)
        throw AgentError::system(errno, path.display);
    if (options.mtime) {
        const timespec times[2] = {{0, UTIME_OMIT}, *options.mtime};
        if (::futimens(file_.get(), times) != 0)
            throw AgentError::system(errno, path.display);
    }
    // The contents go to the disk first, which also gives them their blocks and size in the
    // running transaction: whatever commits the new name commits them too, so a crash can
    // never leave the name on a file that is empty or short.
    if (::sync_file_range(
            file_.get(), 0, 0,
            SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER) != 0)
        throw AgentError::system(errno, path.display);
    // Without replace the name is taken only while free: the check above is not enough.
    const unsigned flags = options.replace ? 0 : RENAME_NOREPLACE;

    if (name_.empty()) {
        // A fresh hidden name, then a rename over the destination: readers see the old file or
        // the new one.
        for (int attempt = 0;; ++attempt) {
            ReservedTemporaryName hidden;
            if (!linkUnnamed(file_.get(), dirFd, hidden.name())) {
                if (errno == EEXIST && attempt + 1 < nameAttempts)
                    continue;
                throw AgentError::system(errno, path.display);
            }
            if (::renameat2(dirFd, hidden.name().c_str(), dirFd, path.leaf().c_str(), flags) != 0) {
                const int error = errno;
                ::unlinkat(dirFd, hidden.name().c_str(), 0);
                throw AgentError::system(error, path.display);
            }
            break;
        }
    } else if (::renameat2(dirFd, name_.c_str(), dirFd, path.leaf().c_str(), flags) != 0) {
        throw AgentError::system(errno, path.display);
    } else {
        std::lock_guard lock(namesMutex);
        namesInUse.erase(name_);
    }
    published_ = true;
    if (!options.durable)
        return;
    // One journal commit puts the file and its name on the disk (the rename changed the file
    // too); the directory's own fsync then finds nothing left to commit, except without a
    // journal, where it writes the directory.
    if (::fsync(file_.get()) != 0)
        throw AgentError::system(errno, path.display);
    ::fsync(dirFd);
}

bool isLeftoverTemporary(int dirFd, const char* name) {
    if (!isTemporaryName(name))
        return false;
    {
        std::lock_guard lock(namesMutex);
        if (namesInUse.contains(std::string_view(name)))
            return false;
    }
    // A name no longer in use is never taken again: names in use are fresh and random.
    struct stat st {};
    return ::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode));
}

}  // namespace quorvale::agent
