#pragma once
// Watches removable disks and their partitions, turns them into Device and Partition records,
// classifies the medium and each partition's filesystem, and reports every change to its
// delegate on the GUI thread. Also ejects disks (through an injected DiskEjector, or by
// detaching an opened disk image) and opens disk-image files as devices.
//
// The files behind open disk images are watched (inotify, and a poll for what it misses): an
// image deleted or moved away is detached and reported removed, as a pulled card is.
//
// Threads: the object lives on the GUI thread. The detection handlers (wholeDiskAppeared,
// partitionAppeared, diskDisappeared) run on the event source's thread, one at a time; only
// they touch knownDisks and pendingPartitions. Notifications are posted to the GUI thread and
// dropped when the service is gone by then.

#include <qcoro/qcorotask.h>
#include <QFileSystemWatcher>
#include <QLoggingCategory>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "disk/disk_description.h"
#include "disk/disk_detection_delegate.h"
#include "disk/disk_ejector.h"
#include "disk/disk_event_source.h"
#include "disk/disk_image_registry.h"
#include "disk/disk_paths.h"
#include "disk/ext4_identification_service.h"
#include "model/device.h"

Q_DECLARE_LOGGING_CATEGORY(lcDiskDetection)

namespace quorvale::disk {

class DiskDetectionService : public QObject {
    Q_OBJECT

public:
    // Without a source, the udev source over `paths` is used; throws quorvale::Error when it
    // cannot open its event socket.
    explicit DiskDetectionService(std::unique_ptr<DiskEventSource> source = nullptr,
                                  DiskPaths paths = {}, QObject* parent = nullptr);
    ~DiskDetectionService() override;

    // The delegate is held weakly when it is a QObject; otherwise it must outlive the service.
    void setDelegate(DiskDetectionDelegate* delegate);
    // Ejects real disks (the privileged helper client). Not owned.
    void setEjector(DiskEjector* ejector);

    // Whole disks accepted besides removable media (tests accept their own loop devices).
    // None in the application. Call before startMonitoring().
    void setAlsoAccepted(std::function<bool(const DiskDescription&)> predicate);

    // Starts delivery of disk events; a second call only logs. Throws when the event source
    // cannot start (disk images can still be opened then).
    void startMonitoring();

    // Ejects the whole disk named by device.bsdName. Throws DiskError.
    QCoro::Task<void> ejectDisk(model::Device device);

    // Opens a disk-image file as a device (reported to the delegate like a disk that
    // appeared) and returns it. Reads off the GUI thread. Throws DiskError.
    QCoro::Task<model::Device> openImage(QString path);
    DiskImageRegistry& images() { return *imageRegistry; }

    // Detection handlers, called by the event source (and by tests) on one thread at a time.
    void wholeDiskAppeared(const DiskDescription& description);
    void partitionAppeared(const DiskDescription& description);
    void diskDisappeared(const DiskDescription& description);

    static model::MediaType classifyMedia(const DiskDescription& description);
    model::FilesystemType classifyFilesystem(const DiskDescription& description) const;

Q_SIGNALS:
    // Posted after the notifications for the disks present at start.
    void enumerationCompleted();
    // The file of an open image was deleted or moved away (the image is detached), or became
    // shorter than when opened (damaged: nothing more may be written to it).
    void imageFileGone(const QString& bsdName, const QString& path);
    void imageFileShortened(const QString& bsdName, const QString& path);

public:
    // Looks at the open images' files now (the watcher and the poll call it).
    void checkImageFiles();
    static constexpr std::chrono::milliseconds imagePollInterval{1000};

private:
    void watchImage(const QString& path);
    void postDeviceUpdated(const model::Device& device);
    void postDeviceRemoved(const QString& bsdName);

    DiskPaths paths;
    std::unique_ptr<DiskEventSource> source;
    EXT4IdentificationService ext4Service;
    DiskDetectionDelegate* delegate = nullptr;
    QPointer<QObject> delegateObject;  // set when the delegate is a QObject
    bool delegateIsObject = false;
    DiskEjector* ejector = nullptr;
    std::function<bool(const DiskDescription&)> alsoAcceptedDisks;
    std::shared_ptr<DiskImageRegistry> imageRegistry;  // shared with running opens
    std::map<QString, model::Device> knownDisks;
    std::map<QString, std::vector<DiskDescription>> pendingPartitions;
    bool isMonitoring = false;
    QFileSystemWatcher* imageWatcher = nullptr;
    QTimer* imagePoll = nullptr;
};

}  // namespace quorvale::disk
