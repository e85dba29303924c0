#include "fileops/local_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <vector>

#include "fileops/file_operation_error.h"
#include "rpc/base64.h"

namespace quorvale::fileops {

namespace {

std::string reason(int error, const QString& path) {
    return std::string(std::strerror(error)) + ": " + path.toStdString();
}

[[noreturn]] void fail(int error, const QString& path) {
    throw FileOperationError::operationFailed(reason(error, path));
}

// Kept-both names tried before giving up.
constexpr int maxNumberedNames = 9999;

QString uniqueSuffix() {
    return QString::number(QRandomGenerator::global()->generate64(), 36);
}

}  // namespace

UniqueFd openForReading(const QString& path) {
    UniqueFd fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        fail(errno, path);
    return fd;
}

std::uint64_t regularFileSize(int fd, const QString& name) {
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        fail(errno, name);
    if (!S_ISREG(st.st_mode))
        fail(EINVAL, name);
    return static_cast<std::uint64_t>(st.st_size);
}

EncodedChunk readEncodedChunk(int fd, std::uint64_t offset, std::size_t length) {
    // Each worker keeps its buffers: fresh multi-megabyte allocations per chunk cost more in
    // page faults than the copying itself.
    thread_local std::vector<char> bytes;
    if (bytes.size() < length)
        bytes.resize(length);
    EncodedChunk chunk;
    chunk.requested = length;
    while (chunk.bytes < length) {
        ssize_t n = ::pread(fd, bytes.data() + chunk.bytes, length - chunk.bytes,
                            static_cast<off_t>(offset + chunk.bytes));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            chunk.error = std::strerror(errno);
            return chunk;
        }
        if (n == 0)
            break;
        chunk.bytes += static_cast<std::size_t>(n);
    }
    const std::size_t size = rpc::base64EncodedSize(chunk.bytes);
    boost::json::string text;
    text.reserve(size);
    rpc::base64EncodeTo(std::string_view(bytes.data(), chunk.bytes), text.data());
    text.grow(size);
    chunk.base64 = std::make_shared<boost::json::value>(std::move(text));
    return chunk;
}

WrittenChunk writeDecodedChunk(int fd, std::uint64_t offset, std::string_view base64,
                               std::size_t maxBytes) {
    WrittenChunk chunk;
    // Text for more bytes than asked for is refused before anything is decoded or written.
    if (base64.size() > rpc::base64EncodedSize(maxBytes)) {
        chunk.invalid = true;
        return chunk;
    }
    thread_local std::vector<char> bytes;
    if (bytes.size() < base64.size() / 4 * 3)
        bytes.resize(base64.size() / 4 * 3);
    const std::optional<std::size_t> size = rpc::base64DecodeTo(base64, bytes.data());
    if (!size || *size > maxBytes) {
        chunk.invalid = true;
        return chunk;
    }
    while (chunk.bytes < *size) {
        ssize_t n = ::pwrite(fd, bytes.data() + chunk.bytes, *size - chunk.bytes,
                             static_cast<off_t>(offset + chunk.bytes));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            chunk.error = std::strerror(errno);
            return chunk;
        }
        chunk.bytes += static_cast<std::size_t>(n);
    }
    return chunk;
}

void truncateRegularFile(int fd, std::uint64_t size) {
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        ::ftruncate(fd, static_cast<off_t>(size)) != 0)
        fail(errno, QStringLiteral("local file"));
}

ExportTarget::ExportTarget(const QString& destination)
    : folderPath(QFileInfo(destination).absolutePath()), name(QFileInfo(destination).fileName()) {
    dir.reset(
        ::open(QFile::encodeName(folderPath).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir)
        fail(errno, folderPath);
    create();
}

ExportTarget::ExportTarget(UniqueFd dir, const QString& folderPath, const QString& name)
    : dir(std::move(dir)), folderPath(folderPath), name(name) {
    create();
}

void ExportTarget::create() {
    const QString destination = folderPath + QLatin1Char('/') + name;
    // An unnamed file first: nothing shows up in the folder until it is complete.
    file.reset(::openat(dir.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
    if (file)
        return;
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        fail(errno, destination);
    // Filesystems without unnamed files: a hidden name, removed again unless published.
    for (int attempt = 0; attempt < 16 && !file; ++attempt) {
        temporaryName = QStringLiteral(".") + name + QLatin1Char('.') + uniqueSuffix() +
                        QStringLiteral(".part");
        file.reset(::openat(dir.get(), QFile::encodeName(temporaryName).constData(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (!file && errno != EEXIST)
            fail(errno, destination);
    }
    if (!file)
        fail(EEXIST, folderPath + QLatin1Char('/') + temporaryName);
}

ExportTarget::~ExportTarget() {
    if (!published && !temporaryName.isEmpty())
        ::unlinkat(dir.get(), QFile::encodeName(temporaryName).constData(), 0);
}

QString ExportTarget::publish(bool replace) {
    const QByteArray procPath = "/proc/self/fd/" + QByteArray::number(file.get());
    const auto pathOf = [this](const QString& candidate) {
        return folderPath + QLatin1Char('/') + candidate;
    };
    if (replace) {
        // A named file first (when it has none), then one rename over whatever holds the name.
        if (temporaryName.isEmpty()) {
            for (int attempt = 0; attempt < 16; ++attempt) {
                const QString hidden = QStringLiteral(".") + name + QLatin1Char('.') +
                                       uniqueSuffix() + QStringLiteral(".part");
                if (::linkat(AT_FDCWD, procPath.constData(), dir.get(),
                             QFile::encodeName(hidden).constData(), AT_SYMLINK_FOLLOW) == 0) {
                    temporaryName = hidden;
                    break;
                }
                if (errno != EEXIST)
                    fail(errno, pathOf(name));
            }
            if (temporaryName.isEmpty())
                fail(EEXIST, pathOf(name));
        }
        if (::renameat(dir.get(), QFile::encodeName(temporaryName).constData(), dir.get(),
                       QFile::encodeName(name).constData()) != 0)
            fail(errno, pathOf(name));
        published = true;
        return pathOf(name);
    }
    for (int n = 1; n <= maxNumberedNames; ++n) {
        const QString candidate = n == 1 ? name : numberedName(name, n);
        const QByteArray target = QFile::encodeName(candidate);
        // Both ways fail on anything at the name, a symlink included, and replace nothing.
        int result = 0;
        if (temporaryName.isEmpty()) {
            result = ::linkat(AT_FDCWD, procPath.constData(), dir.get(), target.constData(),
                              AT_SYMLINK_FOLLOW);
        } else {
            const QByteArray from = QFile::encodeName(temporaryName);
            result = ::renameat2(dir.get(), from.constData(), dir.get(), target.constData(),
                                 RENAME_NOREPLACE);
            if (result != 0 && errno == EINVAL) {
                // No RENAME_NOREPLACE here: a link refuses an existing name as well.
                result = ::linkat(dir.get(), from.constData(), dir.get(), target.constData(), 0);
                if (result == 0)
                    ::unlinkat(dir.get(), from.constData(), 0);
            }
        }
        if (result == 0) {
            published = true;
            return pathOf(candidate);
        }
        if (errno != EEXIST)
            fail(errno, pathOf(candidate));
    }
    fail(EEXIST, pathOf(name));
}

}  // namespace quorvale::fileops
