#pragma once
// What the application core needs from the helper client, the VM service and disk detection.
// The adapters in service_adapters.h implement these over the real services; tests use fakes.
// Every method is called on the GUI thread.

#include <qcoro/qcorotask.h>
#include <QString>

#include <QStringList>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "guest/vm_disk.h"
#include "model/device.h"
#include "rpc/unique_fd.h"

namespace quorvale::disk {
class DiskDetectionDelegate;
}

namespace quorvale::app {

class HelperAccess {
public:
    virtual ~HelperAccess() = default;
    // An open descriptor on the whole disk. Throws disk::HelperError.
    virtual QCoro::Task<UniqueFd> openDisk(QString bsdName, bool readOnly) = 0;
    // A writable descriptor on a whole disk this process holds exclusively as `heldFd` (the
    // descriptor openDisk() gave), opened beside that claim. Throws disk::HelperError.
    virtual QCoro::Task<UniqueFd> openHeldDisk(QString bsdName, int heldFd) = 0;
    // The descriptor openDisk() gave is closed: the helper holds the disk no longer.
    virtual void releaseDisk(const QString& bsdName) { Q_UNUSED(bsdName); }
    // Registers the helper daemon (may ask for a password). Throws on failure.
    virtual QCoro::Task<void> installHelper() = 0;
    // Whether the helper daemon is installed and running; asks for nothing, never throws.
    virtual QCoro::Task<bool> checkHelper() = 0;
    // Lets the account of the running process open disks through the helper (may ask for a
    // password). Throws on failure with the reason.
    virtual QCoro::Task<void> grantAccess() = 0;
};

class VMControl {
public:
    virtual ~VMControl() = default;
    // True when a VM exists and is running.
    virtual bool isRunning() const = 0;
    virtual QCoro::Task<void> bootVM(std::vector<guest::VMDisk> diskHandles) = 0;
    // Plugs a disk into the running VM. Throws guest::VMError.
    virtual QCoro::Task<void> attachDisk(guest::VMDisk disk) = 0;
    // Unplugs a disk from the running VM. Throws when QEMU or the guest refuses.
    virtual QCoro::Task<void> detachDisk(QString name) = 0;
    // Writes a staged disk's overlay into the disk through `writable`, reporting progress in
    // bytes. Throws when the VM cannot (a VM without overlays refuses).
    virtual QCoro::Task<void> commitOverlay(QString name, UniqueFd writable,
                                            std::function<void(quint64, quint64)> progress);
    // The disks the running VM holds (none without a VM).
    virtual QStringList diskNames() const = 0;
    // Throws guest::VMError(diskRemoved) when the disk of `device` (a whole-disk or partition
    // name; none: every disk) is no longer the size it had when the VM was given it.
    virtual void checkDisks(const std::optional<QString>& device) const = 0;
    // Never throws; ends with no VM.
    virtual QCoro::Task<void> stopVM() = 0;
    // Ends the VM at once (a boot being cancelled); ends with no VM.
    virtual void abortVM() = 0;
    // A new stream to the guest's port; replaces the previous one. Throws guest::VMError.
    virtual QCoro::Task<UniqueFd> connectVsock(std::uint32_t port) = 0;

    // Called when the VM ends without a stop request, with the cause.
    std::function<void(const QString& cause)> onUnexpectedStop;
};

class DiskSource {
public:
    virtual ~DiskSource() = default;
    virtual void setDelegate(disk::DiskDetectionDelegate* delegate) = 0;
    virtual void startMonitoring() = 0;
    // Ejects (or, for a disk image, detaches) the whole disk. Throws quorvale::Error.
    virtual QCoro::Task<void> ejectDisk(model::Device device) = 0;
    // For a disk image opened in the app: a descriptor of its own, in place of the helper's.
    virtual std::optional<UniqueFd> imageHandle(const QString& wholeDiskName) = 0;
};

}  // namespace quorvale::app
