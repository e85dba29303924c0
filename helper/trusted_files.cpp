#include "helper/trusted_files.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace quorvale::helper {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const fs::path& path, const char* what) {
    throw TrustError("cannot " + std::string(what) + " " + path.string() + ": " +
                     std::strerror(errno));
}

// Owned by root and writable by root alone; a sticky directory passes unless files are to be
// made in it.
void checkDirectory(int fd, const fs::path& path, bool last) {
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        fail(path, "inspect");
    if (st.st_uid != 0)
        throw TrustError(path.string() + " is not owned by root");
    const bool othersWrite = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    if (othersWrite && (last || (st.st_mode & S_ISVTX) == 0))
        throw TrustError(path.string() + " is writable by users other than root");
}

// Why `name` in `dir` could not be opened as a directory.
[[noreturn]] void refuseComponent(int dir, const std::string& name, const fs::path& path) {
    const int error = errno;
    struct stat st {};
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(st.st_mode))
            throw TrustError(path.string() + " is a symbolic link");
        if (!S_ISDIR(st.st_mode))
            throw TrustError(path.string() + " is not a directory");
    }
    errno = error;
    fail(path, "open");
}

int openDirectory(int dir, const std::string& name) {
    return ::openat(dir, name.c_str(), O_DIRECTORY | O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
}

std::string randomSuffix() {
    unsigned char bytes[8];
    if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes))
        throw TrustError("no random bytes for a temporary name");
    std::string text;
    for (const unsigned char b : bytes) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", b);
        text += hex;
    }
    return text;
}

}  // namespace

TrustedDirectory::TrustedDirectory(const fs::path& path) : path_(path) {
    if (!path.is_absolute())
        throw TrustError(path.string() + " is not an absolute path");
    std::vector<std::string> parts;
    for (const auto& part : path.relative_path()) {
        if (part.empty())
            continue;
        if (part == "." || part == "..")
            throw TrustError(path.string() + " is not a plain path");
        parts.push_back(part.string());
    }
    fs::path reached = "/";
    UniqueFd dir(::open("/", O_DIRECTORY | O_RDONLY | O_CLOEXEC));
    if (!dir)
        fail(reached, "open");
    checkDirectory(dir.get(), reached, parts.empty());
    for (std::size_t i = 0; i < parts.size(); ++i) {
        reached /= parts[i];
        int fd = openDirectory(dir.get(), parts[i]);
        if (fd < 0 && errno == ENOENT) {
            if (::mkdirat(dir.get(), parts[i].c_str(), 0700) != 0 && errno != EEXIST)
                fail(reached, "create");
            fd = openDirectory(dir.get(), parts[i]);
            // Made by us: readable by everyone, whatever the umask (polkitd reads as itself).
            if (fd >= 0)
                ::fchmod(fd, 0755);
        }
        if (fd < 0)
            refuseComponent(dir.get(), parts[i], reached);
        dir = UniqueFd(fd);
        checkDirectory(dir.get(), reached, i + 1 == parts.size());
    }
    fd_ = std::move(dir);
}

void TrustedDirectory::checkReplaceable(const std::string& name) const {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        throw TrustError("not a file name: " + name);
    struct stat st {};
    if (::fstatat(fd_.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT)
            return;
        fail(path_ / name, "inspect");
    }
    if (S_ISLNK(st.st_mode))
        throw TrustError((path_ / name).string() + " is a symbolic link");
    if (!S_ISREG(st.st_mode))
        throw TrustError((path_ / name).string() + " is not a regular file");
}

void TrustedDirectory::write(const std::string& name, const std::string& text) const {
    checkReplaceable(name);
    std::string temporary;
    UniqueFd file;
    for (int attempt = 0; attempt < 8 && !file; ++attempt) {
        temporary = "." + name + "." + randomSuffix();
        file = UniqueFd(::openat(fd_.get(), temporary.c_str(),
                                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!file && errno != EEXIST)
            fail(path_ / temporary, "create");
    }
    if (!file)
        throw TrustError("no free temporary name in " + path_.string());

    const auto discard = [&](const char* what) {
        const int error = errno;
        ::unlinkat(fd_.get(), temporary.c_str(), 0);
        errno = error;
        fail(path_ / name, what);
    };
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(file.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            discard("write");
        done += static_cast<std::size_t>(n);
    }
    if (::fchown(file.get(), 0, 0) != 0 || ::fchmod(file.get(), 0644) != 0)
        discard("set the owner and mode of");
    if (::fsync(file.get()) != 0 || ::close(file.release()) != 0)
        discard("sync");
    if (::renameat(fd_.get(), temporary.c_str(), fd_.get(), name.c_str()) != 0)
        discard("replace");
    ::fsync(fd_.get());
}

}  // namespace quorvale::helper
