#include "disk/partition_health.h"

#include <fcntl.h>
#include <unistd.h>

#include <QFile>

#include <cerrno>
#include <cstring>
#include <string>

#include "disk/ext4_identification_service.h"
#include "rpc/device_name.h"
#include "rpc/unique_fd.h"

namespace quorvale::disk {

namespace {

// The partition must hold the superblock and the 1024 bytes before it.
constexpr std::uint64_t superblockEnd = rpc::extSuperblockOffset + rpc::extSuperblockSize;

bool sysfsFlag(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    return file.read(16).trimmed() == "1";
}

}  // namespace

PartitionHealthReader::PartitionHealthReader(DiskPaths paths) : paths(std::move(paths)) {}

bool PartitionHealthReader::isWriteProtected(const QString& bsdName) const {
    const std::string name = bsdName.toStdString();
    if (!rpc::isDeviceName(name))
        return false;
    const QString blockDir = paths.sysfsRoot + QStringLiteral("/class/block/");
    if (sysfsFlag(blockDir + bsdName + QStringLiteral("/ro")))
        return true;
    const auto whole = rpc::wholeDiskName(name);
    return whole && *whole != name &&
           sysfsFlag(blockDir + QString::fromStdString(*whole) + QStringLiteral("/ro"));
}

PartitionHealth PartitionHealthReader::read(const QString& bsdName,
                                            std::uint64_t partitionSize) const {
    PartitionHealth health;
    if (!rpc::isDeviceName(bsdName.toStdString())) {
        health.problem = QStringLiteral("not a device name: ") + bsdName;
        return health;
    }
    const QString path = paths.deviceDirectory + QLatin1Char('/') + bsdName;
    // O_NONBLOCK: a device that would wait must not hang the caller.
    UniqueFd fd(::open(path.toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) {
        const int error = errno;
        qCCritical(lcEXT4, "Cannot open %s for reading: %s", qUtf8Printable(path),
                   std::strerror(error));
        health.problem = QStringLiteral("cannot open %1: %2").arg(path, std::strerror(error));
    } else {
        health = readAt(fd.get(), 0, partitionSize, path);
    }
    health.writeProtected = isWriteProtected(bsdName);
    return health;
}

PartitionHealth PartitionHealthReader::readAt(int fd, std::uint64_t offset,
                                              std::uint64_t partitionSize, const QString& path) {
    PartitionHealth health;
    if (partitionSize != 0 && partitionSize < superblockEnd) {
        health.problem = QStringLiteral("the partition is too small to hold a superblock");
        return health;
    }
    if (offset > static_cast<std::uint64_t>(INT64_MAX) - superblockEnd) {
        health.problem = QStringLiteral("the partition lies beyond the end of any disk");
        return health;
    }
    std::string bytes(rpc::extSuperblockSize, '\0');
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t count = ::pread(fd, bytes.data() + done, bytes.size() - done,
                                      static_cast<off_t>(offset + rpc::extSuperblockOffset + done));
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0) {
            const int error = errno;
            qCCritical(lcEXT4, "Error reading superblock from %s: %s", qUtf8Printable(path),
                       std::strerror(error));
            health.problem = QStringLiteral("cannot read the superblock: ") +
                             QString::fromLocal8Bit(std::strerror(error));
            return health;
        }
        if (count == 0)
            break;
        done += static_cast<std::size_t>(count);
    }
    if (done != bytes.size()) {
        qCCritical(lcEXT4, "Failed to read superblock from %s", qUtf8Printable(path));
        health.problem = QStringLiteral("the superblock is cut short");
        return health;
    }
    health.superblock = rpc::parseExtSuperblock(bytes);
    if (!health.superblock) {
        health.problem = QStringLiteral("no ext2/3/4 superblock");
        return health;
    }
    health.largerThanPartition =
        partitionSize != 0 && health.superblock->sizeBytes() > partitionSize;
    return health;
}

}  // namespace quorvale::disk
