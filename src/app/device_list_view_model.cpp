#include "app/device_list_view_model.h"

#include <qcoro/qcorotimer.h>

#include "app/app_log.h"
#include "disk/helper_error.h"
#include "fileops/file_operation_service.h"
#include "guest/vm_error.h"
#include "guest/vsock_transport.h"
#include "rpc/device_name.h"

namespace quorvale::app {
namespace {

using guest::VMStatus;

// Thrown inside a mount task once it has been cancelled.
struct MountCancelled : std::exception {
    const char* what() const noexcept override { return "Mount cancelled"; }
};

QString wholeDiskOf(const QString& bsdName) {
    const auto whole = rpc::wholeDiskName(bsdName.toStdString());
    return whole ? QString::fromStdString(*whole) : bsdName;
}

}  // namespace

DeviceListViewModel::DeviceListViewModel(HelperAccess& helperClient, VMControl& vmService,
                                         guest::VsockTransport& transport, AppState* appState,
                                         std::unique_ptr<DiskSource> diskService, QObject* parent)
    : QObject(parent),
      helperClient(helperClient),
      vmService(vmService),
      transport(transport),
      appState(appState),
      diskService_(std::move(diskService)),
      fileOpService_(std::make_shared<fileops::FileOperationService>(transport)) {
    diskService_->setDelegate(this);
}

DeviceListViewModel::~DeviceListViewModel() {
    if (mountTask)
        mountTask->request_stop();
}

void DeviceListViewModel::setSelectedDeviceID(const std::optional<QString>& value) {
    if (selectedDeviceID_ == value)
        return;
    selectedDeviceID_ = value;
    Q_EMIT selectedDeviceIDChanged();
}

void DeviceListViewModel::setIsMonitoring(bool value) {
    if (isMonitoring_ == value)
        return;
    isMonitoring_ = value;
    Q_EMIT isMonitoringChanged();
}

void DeviceListViewModel::mount(const model::Partition& partition) {
    if (!appState)
        return;
    if (partition.filesystemType != model::FilesystemType::ext4) {
        const QString name = partition.label.value_or(partition.bsdName);
        appState->showErrorBanner(QStringLiteral("Cannot mount %1: only EXT4 filesystems are "
                                                 "supported.")
                                      .arg(name));
        return;
    }
    if (mountTask)
        mountTask->request_stop();
    appState->setIsBootingVM(true);
    appState->setVmStatus(VMStatus::booting());
    mountTask.emplace();
    runMount(QPointer<DeviceListViewModel>(this), partition, appState, mountTask->get_token());
}

void DeviceListViewModel::cancelMount() {
    if (mountTask) {
        mountTask->request_stop();
        mountTask.reset();
    }
    if (appState) {
        appState->setIsBootingVM(false);
        appState->setVmStatus(VMStatus::stopped());
    }
}

QCoro::Task<void> DeviceListViewModel::runMount(QPointer<DeviceListViewModel> self,
                                                model::Partition partition,
                                                QPointer<AppState> appState, std::stop_token stop) {
    co_await mountSequence(self, std::move(partition), std::move(appState), std::move(stop));
    if (self)
        Q_EMIT self->mountFinished();
}

QCoro::Task<void> DeviceListViewModel::mountSequence(QPointer<DeviceListViewModel> self,
                                                     model::Partition partition,
                                                     QPointer<AppState> appState,
                                                     std::stop_token stop) {
    if (!self)
        co_return;
    const auto cancelled = [&] { return stop.stop_requested() || !self || !appState; };
    HelperAccess& helper = self->helperClient;
    VMControl& vm = self->vmService;
    try {
        const QString wholeDisk = wholeDiskOf(partition.bsdName);
        UniqueFd handle;
        if (auto image = self->diskService_->imageHandle(wholeDisk))
            handle = std::move(*image);
        else
            handle = co_await helper.openDisk(wholeDisk, false);
        if (cancelled())
            co_return;
        if (vm.isRunning()) {
            appState->setVmStatus(VMStatus::running());
            appState->setIsBootingVM(false);
            co_return;
        }
        std::vector<UniqueFd> handles;
        handles.push_back(std::move(handle));
        co_await vm.bootVM(std::move(handles));
        if (cancelled())
            co_return;
        co_await waitForVMReady(self, self->readyTimeout, stop);
        if (!cancelled()) {
            appState->setVmStatus(VMStatus::running());
            appState->setIsBootingVM(false);
        }
    } catch (const disk::HelperError& error) {
        if (error.kind == disk::HelperError::Kind::accessDenied) {
            if (!cancelled()) {
                qCCritical(lcDiskDetection, "Full Disk Access required");
                appState->setVmStatus(VMStatus::stopped());
                appState->setIsBootingVM(false);
                appState->setNeedsFullDiskAccess(true);
            }
        } else if (!cancelled()) {
            qCCritical(lcDiskDetection, "Mount failed: %s", error.what());
            appState->setVmStatus(VMStatus::error(QString::fromUtf8(error.what())));
            appState->setIsBootingVM(false);
            appState->showErrorBanner(QStringLiteral("Failed to mount: ") +
                                      QString::fromUtf8(error.what()));
        }
    } catch (const std::exception& error) {
        if (!cancelled()) {
            const QString description = QString::fromUtf8(error.what());
            qCCritical(lcDiskDetection, "Mount failed: %s", error.what());
            appState->setVmStatus(VMStatus::error(description));
            appState->setIsBootingVM(false);
            appState->showErrorBanner(QStringLiteral("Failed to mount: ") + description);
        }
    }
}

QCoro::Task<void> DeviceListViewModel::waitForVMReady(QPointer<DeviceListViewModel> self,
                                                      std::chrono::milliseconds timeout,
                                                      std::stop_token stop) {
    const auto cancelled = [&] { return stop.stop_requested() || !self; };
    VMControl& vm = self->vmService;
    guest::VsockTransport& transport = self->transport;
    auto service = std::make_shared<fileops::FileOperationService>(transport);
    // A monotonic deadline: a clock change must neither cut the wait short nor stretch it.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (cancelled())
            throw MountCancelled();
        try {
            UniqueFd stream = co_await vm.connectVsock(agentPort);
            if (cancelled())
                throw MountCancelled();
            transport.connect(std::move(stream));
            const bool pong = co_await service->ping();
            if (cancelled())
                throw MountCancelled();
            if (pong) {
                self->fileOpService_ = service;
                qCInfo(lcDiskDetection, "VM ready and responding");
                co_return;
            }
            continue;
        } catch (const MountCancelled&) {
            throw;
        } catch (const std::exception&) {
            // Not up yet: try again after a pause.
        }
        co_await QCoro::sleepFor(probePause);
        if (cancelled())
            throw MountCancelled();
    }
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout).count();
    throw guest::VMError(guest::VMError::Kind::bootFailed,
                         "VM did not respond within " + std::to_string(seconds) + "s");
}

void DeviceListViewModel::autoSelectPartition(const model::Device& device) {
    if (!appState || appState->selectedPartition())
        return;
    for (const model::Partition& partition : device.partitions) {
        if (partition.filesystemType != model::FilesystemType::ext4)
            continue;
        isAutoSelecting_ = true;
        appState->setSelectedPartition(partition);
        qCInfo(lcDiskDetection, "Auto-selected EXT4 partition: %s",
               qUtf8Printable(partition.bsdName));
        mount(partition);
        isAutoSelecting_ = false;
        return;
    }
}

QCoro::Task<void> DeviceListViewModel::deviceUpdated(model::Device device) {
    auto existing = std::find_if(devices_.begin(), devices_.end(),
                                 [&](const model::Device& d) { return d.id == device.id; });
    if (existing != devices_.end())
        *existing = device;
    else
        devices_.append(device);
    Q_EMIT devicesChanged();
    qCInfo(lcDiskDetection, "Device updated: %s (%ld partitions)", qUtf8Printable(device.name),
           static_cast<long>(device.partitions.size()));
    autoSelectPartition(device);
    co_return;
}

bool DeviceListViewModel::isActiveDisk(const QString& bsdName) const {
    if (!appState || !appState->selectedPartition())
        return false;
    const QString selectedID = appState->selectedPartition()->id;
    for (const model::Device& device : devices_) {
        if (device.id != bsdName)
            continue;
        for (const model::Partition& partition : device.partitions) {
            if (partition.id == selectedID)
                return true;
        }
    }
    return false;
}

QCoro::Task<void> DeviceListViewModel::deviceRemoved(QString bsdName) {
    QPointer<DeviceListViewModel> self(this);
    if (isActiveDisk(bsdName)) {
        VMControl& vm = vmService;
        guest::VsockTransport& link = transport;
        cancelMount();
        appState->setSelectedPartition(std::nullopt);
        appState->setVmStatus(VMStatus::stopped());
        co_await vm.stopVM();
        link.disconnect();
        if (!self)
            co_return;
    }
    const auto removed = devices_.removeIf([&](const model::Device& d) { return d.id == bsdName; });
    if (removed > 0)
        Q_EMIT devicesChanged();
    if (selectedDeviceID_ == bsdName)
        setSelectedDeviceID(std::nullopt);
    qCInfo(lcDiskDetection, "Device removed: %s", qUtf8Printable(bsdName));
}

void DeviceListViewModel::setEjecting(const QString& deviceID, bool ejecting) {
    for (model::Device& device : devices_) {
        if (device.id == deviceID && device.isEjecting != ejecting) {
            device.isEjecting = ejecting;
            Q_EMIT devicesChanged();
            return;
        }
    }
}

QCoro::Task<void> DeviceListViewModel::ejectDevice(model::Device device) {
    QPointer<DeviceListViewModel> self(this);
    // The row shows the eject under way; the disappearance event then removes the device.
    setEjecting(device.id, true);
    VMControl& vm = vmService;
    guest::VsockTransport& link = transport;
    DiskSource& disks = *diskService_;
    if (const auto service = fileOpService_) {
        try {
            co_await service->sync();
        } catch (const std::exception& error) {
            qCCritical(lcDiskDetection, "Filesystem sync failed (continuing eject): %s",
                       error.what());
        }
        try {
            co_await service->unmount();
        } catch (const std::exception& error) {
            qCCritical(lcDiskDetection, "Filesystem unmount failed (continuing eject): %s",
                       error.what());
        }
    }
    co_await vm.stopVM();
    link.disconnect();
    if (!self)
        co_return;
    try {
        co_await disks.ejectDisk(device);
        qCInfo(lcDiskDetection, "Device ejected: %s", qUtf8Printable(device.bsdName));
        if (self)
            self->setEjecting(device.id, false);
        if (self && self->appState)
            self->appState->setVmStatus(VMStatus::stopped());
    } catch (const std::exception& error) {
        qCCritical(lcDiskDetection, "Eject failed: %s", error.what());
        if (self)
            self->setEjecting(device.id, false);
        if (self && self->appState) {
            self->appState->showErrorBanner(QStringLiteral("Failed to eject %1: %2")
                                                .arg(device.name, QString::fromUtf8(error.what())));
            self->appState->setVmStatus(VMStatus::stopped());
        }
    }
}

}  // namespace quorvale::app
