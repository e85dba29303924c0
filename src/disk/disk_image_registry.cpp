#include "disk/disk_image_registry.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>

#include <cerrno>
#include <cstring>

#include "disk/disk_classification.h"
#include "disk/disk_error.h"
#include "disk/ext4_identification_service.h"
#include "disk/volume_probe.h"

Q_DECLARE_LOGGING_CATEGORY(lcDiskDetection)

namespace quorvale::disk {

using model::Device;
using model::Partition;

namespace {

UniqueFd openImageFile(const QByteArray& path, bool& readOnly) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer; the type is checked next.
    UniqueFd fd(::open(path.constData(), O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    readOnly = false;
    if (!fd && (errno == EACCES || errno == EROFS || errno == EPERM || errno == ETXTBSY)) {
        fd.reset(::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
        readOnly = true;
    }
    if (fd) {
        const int flags = ::fcntl(fd.get(), F_GETFL);
        if (flags >= 0)
            ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    }
    return fd;
}

Partition probePartition(int fd, const QString& bsdName, const QString& pathForLog,
                         std::uint64_t start, std::uint64_t size, const QString& scheme,
                         const QString& type) {
    const VolumeProbe probe = VolumeProbe::probe(fd, start, size, false);
    DiskDescription description;
    description.insert(kDADiskDescriptionMediaBSDNameKey, bsdName);
    if (probe.type)
        description.insert(kDADiskDescriptionVolumeTypeKey, volumeTypeFromBlkid(*probe.type));
    if (!type.isEmpty())
        description.insert(kDADiskDescriptionMediaContentKey,
                           mediaContentFromPartitionType(scheme, type));
    Partition partition;
    partition.id = bsdName;
    partition.bsdName = bsdName;
    partition.label = probe.label;
    partition.size = size;
    partition.offset = start;
    partition.filesystemType = classifyFilesystem(description, [&] {
        return size >= 1082 && EXT4IdentificationService::checkMagic(fd, start, pathForLog);
    });
    qCInfo(lcDiskDetection, "Partition appeared: %s (%s, %llu bytes)", qUtf8Printable(bsdName),
           qUtf8Printable(model::rawValue(partition.filesystemType)),
           static_cast<unsigned long long>(size));
    return partition;
}

}  // namespace

DiskImageRegistry::DiskImageRegistry(DetachedCallback onDetached)
    : onDetached(std::move(onDetached)) {}

DiskImageRegistry::~DiskImageRegistry() = default;

Device DiskImageRegistry::open(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    bool readOnly = false;
    UniqueFd fd = openImageFile(native, readOnly);
    const auto failed = [&path](int error) {
        return DiskError::imageFailed(path.toStdString() + ": " + std::strerror(error));
    };
    if (!fd)
        throw failed(errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        throw failed(errno);
    if (!S_ISREG(st.st_mode))
        throw DiskError::imageFailed(path.toStdString() + ": not a regular file");
    if (st.st_size <= 0)
        throw DiskError::imageFailed(path.toStdString() + ": the file is empty");
    const auto fileSize = static_cast<std::uint64_t>(st.st_size);

    QString bsdName;
    {
        std::lock_guard lock(mutex);
        for (const auto& [name, image] : images) {
            if (image.fileDevice == st.st_dev && image.inode == st.st_ino)
                return image.device;
        }
        bsdName = QStringLiteral("image%1").arg(nextIndex++);
    }

    Device device;
    device.id = bsdName;
    device.bsdName = bsdName;
    device.name = QFileInfo(path).fileName();
    device.size = fileSize;
    device.mediaType = model::MediaType::unknown;
    qCInfo(lcDiskDetection, "Whole disk appeared: %s (%s, %llu bytes, protocol=%s)",
           qUtf8Printable(bsdName), qUtf8Printable(device.name),
           static_cast<unsigned long long>(fileSize), "Disk Image");

    const auto table = readPartitionTable(fd.get(), fileSize);
    if (table) {
        for (const PartitionEntry& entry : *table) {
            const QString name = bsdName + QStringLiteral("p%1").arg(entry.number);
            device.partitions.push_back(probePartition(fd.get(), name, path, entry.start,
                                                       entry.size, entry.scheme, entry.type));
        }
    } else {
        device.partitions.push_back(
            probePartition(fd.get(), bsdName, path, 0, fileSize, QString(), QString()));
    }

    std::lock_guard lock(mutex);
    // Opened by another path meanwhile: that one stays.
    for (const auto& [name, image] : images) {
        if (image.fileDevice == st.st_dev && image.inode == st.st_ino)
            return image.device;
    }
    images.emplace(bsdName, Image{QFileInfo(path).absoluteFilePath(), std::move(fd), readOnly,
                                  device, st.st_dev, st.st_ino, fileSize});
    return device;
}

bool DiskImageRegistry::contains(const QString& bsdName) const {
    std::lock_guard lock(mutex);
    return images.count(bsdName) != 0;
}

int DiskImageRegistry::fd(const QString& bsdName) const {
    std::lock_guard lock(mutex);
    const auto it = images.find(bsdName);
    return it == images.end() ? -1 : it->second.fd.get();
}

UniqueFd DiskImageRegistry::duplicateFd(const QString& bsdName) const {
    std::lock_guard lock(mutex);
    const auto it = images.find(bsdName);
    if (it == images.end())
        return UniqueFd();
    return UniqueFd(::fcntl(it->second.fd.get(), F_DUPFD_CLOEXEC, 0));
}

bool DiskImageRegistry::isReadOnly(const QString& bsdName) const {
    std::lock_guard lock(mutex);
    const auto it = images.find(bsdName);
    return it != images.end() && (it->second.readOnly || it->second.shortened);
}

QString DiskImageRegistry::path(const QString& bsdName) const {
    std::lock_guard lock(mutex);
    const auto it = images.find(bsdName);
    return it == images.end() ? QString() : it->second.path;
}

std::size_t DiskImageRegistry::count() const {
    std::lock_guard lock(mutex);
    return images.size();
}

std::vector<ImageFileChange> DiskImageRegistry::checkFiles() {
    std::vector<ImageFileChange> changes;
    {
        std::lock_guard lock(mutex);
        for (auto it = images.begin(); it != images.end();) {
            Image& image = it->second;
            struct stat opened {};
            struct stat named {};
            const bool open = ::fstat(image.fd.get(), &opened) == 0;
            const bool namedOk = ::stat(QFile::encodeName(image.path).constData(), &named) == 0;
            const int namedError = namedOk ? 0 : errno;
            // Only a definite answer counts: a path that no longer exists, or names another
            // file, or a file with no name left. A transient error (EIO, EACCES) is not one.
            const bool gone = (open && opened.st_nlink == 0) ||
                              (!namedOk && (namedError == ENOENT || namedError == ENOTDIR)) ||
                              (open && namedOk &&
                               (named.st_dev != opened.st_dev || named.st_ino != opened.st_ino));
            if (gone) {
                qCWarning(lcDiskDetection, "Disk image %s is gone: %s", qUtf8Printable(it->first),
                          qUtf8Printable(image.path));
                changes.push_back({ImageFileChange::Kind::gone, it->first, image.path});
                it = images.erase(it);  // closes the descriptor
                continue;
            }
            if (open && !image.shortened &&
                static_cast<std::uint64_t>(opened.st_size) < image.size) {
                image.shortened = true;
                qCWarning(lcDiskDetection, "Disk image %s was shortened from %llu to %lld bytes",
                          qUtf8Printable(it->first), static_cast<unsigned long long>(image.size),
                          static_cast<long long>(opened.st_size));
                changes.push_back({ImageFileChange::Kind::shortened, it->first, image.path});
            }
            ++it;
        }
    }
    for (const ImageFileChange& change : changes)
        if (change.kind == ImageFileChange::Kind::gone && onDetached)
            onDetached(change.bsdName);
    return changes;
}

QCoro::Task<void> DiskImageRegistry::ejectDisk(QString bsdName) {
    {
        std::lock_guard lock(mutex);
        const auto it = images.find(bsdName);
        if (it == images.end())
            throw DiskError::diskNotFound();
        images.erase(it);  // closes the descriptor
    }
    if (onDetached)
        onDetached(bsdName);
    co_return;
}

}  // namespace quorvale::disk
