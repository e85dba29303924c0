#include "disk/ext4_identification_service.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "rpc/unique_fd.h"

Q_LOGGING_CATEGORY(lcEXT4, "com.quorvale.app.EXT4")

namespace quorvale::disk {

namespace {

constexpr std::uint64_t kMagicOffset = 1080;
constexpr std::uint16_t kMagic = 0xEF53;

UniqueFd openForReading(const QString& path) {
    const QByteArray native = path.toLocal8Bit();
    // O_NONBLOCK: a FIFO or a device that would wait must not hang the detection queue.
    return UniqueFd(::open(native.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
}

}  // namespace

EXT4IdentificationService::EXT4IdentificationService(QString deviceDirectory)
    : deviceDirectory(std::move(deviceDirectory)) {}

bool EXT4IdentificationService::isEXT4(const QString& bsdName) const {
    const QString blockPath = deviceDirectory + QLatin1Char('/') + bsdName;
    const QString rawPath = deviceDirectory + QStringLiteral("/r") + bsdName;
    // A name that is a path ("../x", "a/b") never reaches outside the device directory.
    UniqueFd fd;
    if (!bsdName.isEmpty() && !bsdName.contains(QLatin1Char('/')))
        fd = openForReading(blockPath);
    if (!fd) {
        qCCritical(lcEXT4, "Cannot open %s or %s for reading", qUtf8Printable(blockPath),
                   qUtf8Printable(rawPath));
        return false;
    }
    return checkMagic(fd.get(), 0, blockPath);
}

bool EXT4IdentificationService::isEXT4(const QString& path, std::uint64_t offset) const {
    UniqueFd fd = openForReading(path);
    if (!fd) {
        const int error = errno;
        qCCritical(lcEXT4, "Cannot open %s for reading: %s", qUtf8Printable(path),
                   std::strerror(error));
        return false;
    }
    return checkMagic(fd.get(), offset, path);
}

bool EXT4IdentificationService::checkMagic(int fd, std::uint64_t offset, const QString& path) {
    unsigned char bytes[2] = {0, 0};
    if (offset > static_cast<std::uint64_t>(INT64_MAX) - kMagicOffset) {
        qCCritical(lcEXT4, "Failed to read superblock from %s", qUtf8Printable(path));
        return false;
    }
    ssize_t count;
    do {
        count = ::pread(fd, bytes, sizeof bytes, static_cast<off_t>(offset + kMagicOffset));
    } while (count < 0 && errno == EINTR);
    if (count < 0) {
        const int error = errno;  // logging may touch errno
        qCCritical(lcEXT4, "Error reading superblock from %s: %s", qUtf8Printable(path),
                   std::strerror(error));
        return false;
    }
    if (count != 2) {
        qCCritical(lcEXT4, "Failed to read superblock from %s", qUtf8Printable(path));
        return false;
    }
    const auto value = static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
    if (value != kMagic)
        return false;
    qCInfo(lcEXT4, "EXT4 magic confirmed on %s", qUtf8Printable(path));
    return true;
}

}  // namespace quorvale::disk
