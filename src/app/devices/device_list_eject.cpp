// DeviceListViewModel: the eject road (flush in the guest, check, release from the VM, eject
// from the host).

#include "app/core/app_log.h"
#include "app/devices/device_list_view_model.h"
#include "fileops/file_operation_service.h"
#include "guest/vsock_transport.h"

namespace quorvale::app {

using guest::VMStatus;

void DeviceListViewModel::setEjecting(const QString& deviceID, bool ejecting) {
    for (model::Device& device : devices_) {
        if (device.id == deviceID && device.isEjecting != ejecting) {
            device.isEjecting = ejecting;
            Q_EMIT devicesChanged();
            return;
        }
    }
}

QCoro::Task<DeviceListViewModel::Flush> DeviceListViewModel::flushInGuest(QString disk) {
    Flush flush;
    const auto service = fileOpService_;
    if (!service)
        co_return flush;
    try {
        co_await service->sync(disk);
    } catch (const std::exception& error) {
        qCCritical(lcDiskDetection, "Filesystem sync failed (continuing eject): %s", error.what());
        flush.syncFailure = QString::fromUtf8(error.what());
    }
    try {
        co_await service->unmount(disk);
        flush.unmounted = true;
    } catch (const std::exception& error) {
        qCCritical(lcDiskDetection, "Filesystem unmount failed (continuing eject): %s",
                   error.what());
    }
    co_return flush;
}

QCoro::Task<void> DeviceListViewModel::releaseFromVM(QString disk) {
    QPointer<DeviceListViewModel> self(this);
    VMControl& vm = vmService;
    guest::VsockTransport& link = transport;
    const QStringList held = vm.diskNames();
    if (held.contains(disk) && held.size() > 1) {
        // The other cards stay mounted and browsable.
        try {
            co_await vm.detachDisk(disk);
        } catch (const std::exception& error) {
            qCCritical(lcDiskDetection, "Cannot take %s out of the VM (continuing eject): %s",
                       qUtf8Printable(disk), error.what());
        }
    } else if (held.contains(disk) || held.isEmpty()) {
        // The VM stops with its last disk.
        co_await vm.stopVM();
        link.disconnect();
    }
    if (self)
        self->diskHandles.erase(disk);
}

QCoro::Task<bool> DeviceListViewModel::ejectFromHost(model::Device device) {
    QPointer<DeviceListViewModel> self(this);
    DiskSource& disks = *diskService_;
    try {
        co_await disks.ejectDisk(device);
        qCInfo(lcDiskDetection, "Device ejected: %s", qUtf8Printable(device.bsdName));
        co_return true;
    } catch (const std::exception& error) {
        qCCritical(lcDiskDetection, "Eject failed: %s", error.what());
        if (self && self->appState) {
            self->appState->showErrorBanner(QStringLiteral("Failed to eject %1: %2")
                                                .arg(device.name, QString::fromUtf8(error.what())));
        }
    }
    co_return false;
}

QCoro::Task<void> DeviceListViewModel::ejectDevice(model::Device device) {
    QPointer<DeviceListViewModel> self(this);
    // The row shows the eject under way; the disappearance event then removes the device.
    setEjecting(device.id, true);
    const QString disk = device.id;
    // A boot under way was given every held disk, this one too: it ends, and the mount it served
    // starts again without this disk once the card is out.
    std::optional<model::Partition> resume;
    if (mountTask && mountTask->disk != disk && mountTask->phase == MountRun::Phase::booting &&
        diskHandles.contains(disk) && appState && appState->selectedPartition() &&
        wholeDiskOf(appState->selectedPartition()->bsdName) == mountTask->disk)
        resume = appState->selectedPartition();
    if (mountTask && (mountTask->disk == disk || resume))
        cancelMount();
    ejectVerification_.clearReports();
    QString syncFailure;
    if (vmService.diskNames().contains(disk)) {
        const Flush flush = co_await flushInGuest(disk);
        if (!self)
            co_return;
        QStringList ours;
        for (const QString& partition : mountedPartitions_) {
            if (wholeDiskOf(partition) == disk)
                ours << partition;
        }
        forgetMounts(disk);
        syncFailure = flush.syncFailure;
        if (flush.unmounted && verifyOnEject && !ours.isEmpty())
            co_await ejectVerification_.run(ours);
    }
    if (!self)
        co_return;
    co_await releaseFromVM(disk);
    if (!self)
        co_return;
    const bool ejected = co_await ejectFromHost(device);
    if (!self)
        co_return;
    setEjecting(device.id, false);
    if (!appState)
        co_return;
    const auto verdict = ejectVerification_.verdict();
    if (ejected && !syncFailure.isEmpty()) {
        QString message = QStringLiteral(
                              "Not every change may have reached the card: the sync before eject "
                              "failed (%1)")
                              .arg(syncFailure);
        if (verdict)
            message += QStringLiteral(". ") + verdict->message;
        appState->showErrorBanner(message);
    } else if (ejected && verdict) {
        appState->showErrorBanner(verdict->message);
    }
    if (resume && !mountTask && appState->selectedPartition() == resume) {
        mount(*resume);
        co_return;
    }
    appState->setVmStatus(vmService.isRunning() ? VMStatus::running() : VMStatus::stopped());
}

}  // namespace quorvale::app
