#pragma once
// What the application core needs from the helper client, the VM service and disk detection.
// The adapters in service_adapters.h implement these over the real services; tests use fakes.
// Every method is called on the GUI thread.

#include <qcoro/qcorotask.h>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

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
    // Registers the helper daemon. Throws on failure.
    virtual QCoro::Task<void> installHelper() = 0;
};

class VMControl {
public:
    virtual ~VMControl() = default;
    // True when a VM exists and is running.
    virtual bool isRunning() const = 0;
    virtual QCoro::Task<void> bootVM(std::vector<UniqueFd> diskHandles) = 0;
    // Never throws; ends with no VM.
    virtual QCoro::Task<void> stopVM() = 0;
    // A new stream to the guest's port; replaces the previous one. Throws guest::VMError.
    virtual QCoro::Task<UniqueFd> connectVsock(std::uint32_t port) = 0;
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
