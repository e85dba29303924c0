#include "disk/disk_detection_service.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QThreadPool>

#include <algorithm>
#include <coroutine>
#include <exception>
#include <functional>
#include <optional>

#include "disk/disk_classification.h"
#include "disk/disk_error.h"
#include "disk/udev_disk_source.h"
#include "rpc/device_name.h"

Q_LOGGING_CATEGORY(lcDiskDetection, "com.quorvale.app.DiskDetection")

namespace quorvale::disk {

using model::Device;
using model::FilesystemType;
using model::MediaType;
using model::Partition;

namespace {

// Runs work on the thread pool and resumes the awaiting coroutine on the GUI thread.
template <typename T>
struct OffThread {
    std::function<T()> work;
    std::optional<T> result;
    std::exception_ptr error;

    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> handle) {
        QThreadPool::globalInstance()->start([this, handle] {
            try {
                result = work();
            } catch (...) {
                error = std::current_exception();
            }
            QMetaObject::invokeMethod(
                QCoreApplication::instance(), [handle] { handle.resume(); }, Qt::QueuedConnection);
        });
    }
    T await_resume() {
        if (error)
            std::rethrow_exception(error);
        return std::move(*result);
    }
};

QString parentName(const QString& partitionName) {
    if (const auto whole = rpc::wholeDiskName(partitionName.toStdString()))
        return QString::fromStdString(*whole);
    return partitionName;
}

}  // namespace

DiskDetectionService::DiskDetectionService(std::unique_ptr<DiskEventSource> source, DiskPaths paths,
                                           QObject* parent)
    : QObject(parent),
      paths(std::move(paths)),
      source(std::move(source)),
      ext4Service(this->paths.deviceDirectory),
      imageRegistry(std::make_shared<DiskImageRegistry>([this](const QString& bsdName) {
          qCInfo(lcDiskDetection, "Disk disappeared: %s", qUtf8Printable(bsdName));
          postDeviceRemoved(bsdName);
      })) {
    // The event socket is opened now, so that a system without one fails at construction.
    if (!this->source)
        this->source = std::make_unique<UdevDiskSource>(this->paths);
}

DiskDetectionService::~DiskDetectionService() {
    // Stop the source first: its thread runs the handlers over the fields below.
    source.reset();
}

void DiskDetectionService::setDelegate(DiskDetectionDelegate* newDelegate) {
    delegate = newDelegate;
    delegateObject = dynamic_cast<QObject*>(newDelegate);
    delegateIsObject = delegateObject != nullptr;
}

void DiskDetectionService::setAlsoAccepted(std::function<bool(const DiskDescription&)> predicate) {
    alsoAcceptedDisks = std::move(predicate);
}

void DiskDetectionService::setEjector(DiskEjector* newEjector) {
    ejector = newEjector;
}

void DiskDetectionService::startMonitoring() {
    if (isMonitoring) {
        qCDebug(lcDiskDetection, "Disk monitoring already active, skipping");
        return;
    }
    qCInfo(lcDiskDetection, "Starting disk monitoring");
    isMonitoring = true;
    try {
        source->start({
            [this](const DiskDescription& d) { wholeDiskAppeared(d); },
            [this](const DiskDescription& d) { partitionAppeared(d); },
            [this](const DiskDescription& d) { diskDisappeared(d); },
            [this] {
                QMetaObject::invokeMethod(
                    this, [this] { Q_EMIT enumerationCompleted(); }, Qt::QueuedConnection);
            },
        });
    } catch (...) {
        // Not monitoring: a later call tries again.
        isMonitoring = false;
        throw;
    }
}

void DiskDetectionService::wholeDiskAppeared(const DiskDescription& description) {
    const QString bsdName =
        description.string(kDADiskDescriptionMediaBSDNameKey).value_or(QString());
    const QString name =
        description.string(kDADiskDescriptionVolumeNameKey)
            .value_or(description.string(kDADiskDescriptionMediaNameKey).value_or(bsdName));
    const std::uint64_t size = description.number(kDADiskDescriptionMediaSizeKey).value_or(0);
    const bool removable = description.boolean(kDADiskDescriptionMediaRemovableKey).value_or(false);
    const bool ejectable = description.boolean(kDADiskDescriptionMediaEjectableKey).value_or(false);
    const QString protocol =
        description.string(kDADiskDescriptionDeviceProtocolKey).value_or(QString());
    const QString model =
        description.string(kDADiskDescriptionDeviceModelKey).value_or(QString()).toLower();

    const bool alsoAccepted = alsoAcceptedDisks && alsoAcceptedDisks(description);
    if (!removable && !ejectable && !alsoAccepted)
        return;

    const QString lowerName = name.toLower();
    const bool knownRemovable =
        protocol == QLatin1String("USB") || protocol == QLatin1String("Secure Digital") ||
        model.contains(QLatin1String("sd")) || model.contains(QLatin1String("card")) ||
        model.contains(QLatin1String("usb")) || model.contains(QLatin1String("storage"));
    const bool isVirtual =
        model.contains(QLatin1String("disk image")) ||
        (model.contains(QLatin1String("apple")) && model.contains(QLatin1String("apfs"))) ||
        lowerName.contains(QLatin1String("disk image"));
    const bool accepted =
        alsoAccepted || knownRemovable ||
        (!isVirtual && ejectable && !lowerName.contains(QLatin1String("simulator")));
    if (!accepted) {
        qCDebug(lcDiskDetection, "Skipping virtual/internal disk: %s (%s, protocol=%s, model=%s)",
                qUtf8Printable(bsdName), qUtf8Printable(name), qUtf8Printable(protocol),
                qUtf8Printable(model));
        return;
    }

    Device device;
    device.id = bsdName;
    device.name = name;
    device.bsdName = bsdName;
    device.size = size;
    device.mediaType = classifyMedia(description);
    qCInfo(lcDiskDetection, "Whole disk appeared: %s (%s, %llu bytes, protocol=%s)",
           qUtf8Printable(bsdName), qUtf8Printable(name), static_cast<unsigned long long>(size),
           qUtf8Printable(protocol));
    knownDisks[bsdName] = device;
    postDeviceUpdated(device);

    const auto pending = pendingPartitions.find(bsdName);
    if (pending != pendingPartitions.end()) {
        const std::vector<DiskDescription> queued = std::move(pending->second);
        pendingPartitions.erase(pending);
        for (const DiskDescription& partition : queued)
            partitionAppeared(partition);
    }
}

void DiskDetectionService::partitionAppeared(const DiskDescription& description) {
    const auto bsdName = description.string(kDADiskDescriptionMediaBSDNameKey);
    if (!bsdName)
        return;
    const QString parent = parentName(*bsdName);
    const auto known = knownDisks.find(parent);
    if (known == knownDisks.end()) {
        qCDebug(lcDiskDetection, "Queuing partition %s — parent %s not yet seen",
                qUtf8Printable(*bsdName), qUtf8Printable(parent));
        pendingPartitions[parent].push_back(description);
        return;
    }

    Partition partition;
    partition.id = *bsdName;
    partition.bsdName = *bsdName;
    partition.label = description.string(kDADiskDescriptionVolumeNameKey);
    partition.size = description.number(kDADiskDescriptionMediaSizeKey).value_or(0);
    partition.offset = description.number(kDADiskDescriptionMediaBlockSizeKey).value_or(0);
    partition.filesystemType = classifyFilesystem(description);
    qCInfo(lcDiskDetection, "Partition appeared: %s (%s, %llu bytes)", qUtf8Printable(*bsdName),
           qUtf8Printable(model::rawValue(partition.filesystemType)),
           static_cast<unsigned long long>(partition.size));
    // A partition reported again (it changed) replaces its old record.
    auto& partitions = known->second.partitions;
    const auto same = std::find_if(partitions.begin(), partitions.end(),
                                   [&](const Partition& p) { return p.bsdName == *bsdName; });
    if (same != partitions.end())
        *same = partition;
    else
        partitions.push_back(partition);
    postDeviceUpdated(known->second);
}

void DiskDetectionService::diskDisappeared(const DiskDescription& description) {
    const auto bsdName = description.string(kDADiskDescriptionMediaBSDNameKey);
    if (!bsdName)
        return;
    if (!description.boolean(kDADiskDescriptionMediaWholeKey).value_or(false))
        return;
    qCInfo(lcDiskDetection, "Disk disappeared: %s", qUtf8Printable(*bsdName));
    knownDisks.erase(*bsdName);
    postDeviceRemoved(*bsdName);
}

MediaType DiskDetectionService::classifyMedia(const DiskDescription& description) {
    return disk::classifyMedia(description);
}

FilesystemType DiskDetectionService::classifyFilesystem(const DiskDescription& description) const {
    return disk::classifyFilesystem(description, [&] {
        return ext4Service.isEXT4(
            description.string(kDADiskDescriptionMediaBSDNameKey).value_or(QString()));
    });
}

void DiskDetectionService::postDeviceUpdated(const Device& device) {
    QMetaObject::invokeMethod(
        this,
        [this, device] {
            if (!delegate || (delegateIsObject && !delegateObject))
                return;
            delegate->deviceUpdated(device);  // runs on; the task frees itself when done
        },
        Qt::QueuedConnection);
}

void DiskDetectionService::postDeviceRemoved(const QString& bsdName) {
    QMetaObject::invokeMethod(
        this,
        [this, bsdName] {
            if (!delegate || (delegateIsObject && !delegateObject))
                return;
            delegate->deviceRemoved(bsdName);
        },
        Qt::QueuedConnection);
}

QCoro::Task<void> DiskDetectionService::ejectDisk(Device device) {
    const QString bsdName = device.bsdName;
    if (imageRegistry->contains(bsdName)) {
        const QString path = imageRegistry->path(bsdName);
        co_await imageRegistry->ejectDisk(bsdName);
        if (imageWatcher)
            imageWatcher->removePath(path);
        co_return;
    }
    if (!rpc::isWholeDiskName(bsdName.toStdString()) ||
        !QFileInfo::exists(paths.sysfsRoot + QStringLiteral("/class/block/") + bsdName)) {
        throw DiskError::diskNotFound();
    }
    if (!ejector)
        throw DiskError::ejectFailed(-1);
    co_await ejector->ejectDisk(bsdName);
}

void DiskDetectionService::watchImage(const QString& path) {
    if (!imageWatcher) {
        imageWatcher = new QFileSystemWatcher(this);
        // Unlinking changes the link count, a rename moves the inode, truncation modifies it:
        // each reaches fileChanged. The poll covers file systems without inotify.
        connect(imageWatcher, &QFileSystemWatcher::fileChanged, this,
                &DiskDetectionService::checkImageFiles);
        imagePoll = new QTimer(this);
        imagePoll->setInterval(imagePollInterval);
        connect(imagePoll, &QTimer::timeout, this, &DiskDetectionService::checkImageFiles);
    }
    if (!path.isEmpty())
        imageWatcher->addPath(path);
    imagePoll->start();
}

void DiskDetectionService::checkImageFiles() {
    for (const ImageFileChange& change : imageRegistry->checkFiles()) {
        if (change.kind == ImageFileChange::Kind::gone) {
            if (imageWatcher)
                imageWatcher->removePath(change.path);
            Q_EMIT imageFileGone(change.bsdName, change.path);
        } else {
            Q_EMIT imageFileShortened(change.bsdName, change.path);
        }
    }
    if (imagePoll && imageRegistry->count() == 0)
        imagePoll->stop();
}

QCoro::Task<Device> DiskDetectionService::openImage(QString path) {
    QPointer<DiskDetectionService> self(this);
    std::shared_ptr<DiskImageRegistry> registry = imageRegistry;
    // A named awaiter: g++ 12 mishandles temporaries that own captures inside co_await.
    OffThread<Device> job{[registry, path] { return registry->open(path); }, {}, {}};
    const Device device = co_await job;
    if (self) {
        watchImage(registry->path(device.bsdName));
        postDeviceUpdated(device);
    }
    co_return device;
}

}  // namespace quorvale::disk
