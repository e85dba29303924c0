#include "app/devices/device_list_view_model.h"

#include <algorithm>
#include <utility>

#include "app/core/app_log.h"
#include "fileops/file_operation_service.h"
#include "guest/vsock_transport.h"
#include "rpc/device_name.h"

namespace quorvale::app {

using guest::VMStatus;

QString DeviceListViewModel::wholeDiskOf(const QString& bsdName) {
    const auto whole = rpc::wholeDiskName(bsdName.toStdString());
    return whole ? QString::fromStdString(*whole) : bsdName;
}

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
    fileOpService_->checkDisksWith(diskCheck());
    if (appState)
        appState->checkDisks = diskCheck();
    readHealth = readHostHealth;
    connect(&ejectVerification_, &EjectVerification::currentChanged, this,
            &DeviceListViewModel::ejectCheckChanged);
    diskService_->setDelegate(this);
    vmService.onUnexpectedStop = [self =
                                      QPointer<DeviceListViewModel>(this)](const QString& cause) {
        if (self)
            self->vmStoppedUnexpectedly(cause);
    };
}

DeviceListViewModel::~DeviceListViewModel() {
    vmService.onUnexpectedStop = nullptr;
    if (mountTask)
        mountTask->stop.request_stop();
}

bool DeviceListViewModel::hasPartition(const QString& partitionID) const {
    for (const model::Device& device : devices_) {
        for (const model::Partition& partition : device.partitions) {
            if (partition.id == partitionID)
                return true;
        }
    }
    return false;
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

void DeviceListViewModel::startMonitoring() {
    if (isMonitoring_)
        return;
    try {
        diskService_->startMonitoring();
    } catch (const std::exception& error) {
        qCCritical(lcDiskDetection, "Disk monitoring failed: %s", error.what());
        if (appState) {
            appState->showErrorBanner(
                QStringLiteral("Removable disks cannot be watched: %1. Disk images can still be "
                               "opened.")
                    .arg(QString::fromUtf8(error.what())));
        }
        return;
    }
    setIsMonitoring(true);
}

QStringList DeviceListViewModel::heldDisks() const {
    QStringList names;
    for (const auto& [name, fd] : diskHandles)
        names << name;
    return names;
}

void DeviceListViewModel::vmStoppedUnexpectedly(const QString& cause) {
    if (mountTask) {
        mountTask->stop.request_stop();
        mountTask.reset();
    }
    forgetMounts({});
    transport.disconnect();
    qCCritical(lcDiskDetection, "VM stopped unexpectedly: %s", qUtf8Printable(cause));
    if (!appState)
        return;
    appState->setIsBootingVM(false);
    appState->setVmStatus(VMStatus::error(cause));
    appState->showErrorBanner(QStringLiteral("The VM stopped unexpectedly: ") + cause);
}

fileops::DiskCheck DeviceListViewModel::diskCheck() const {
    // The VM's control outlives the view models and the services they hand out.
    return
        [vm = &vmService](const std::optional<QString>& partition) { vm->checkDisks(partition); };
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
    readHealthCards(device);
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
    VMControl& vm = vmService;
    guest::VsockTransport& link = transport;
    const auto service = fileOpService_;
    if (mountTask && mountTask->disk == bsdName)
        cancelMount();
    if (appState && isActiveDisk(bsdName))
        appState->setSelectedPartition(std::nullopt);
    if (vm.diskNames().contains(bsdName)) {
        if (vm.diskNames().size() > 1) {
            // The card is gone: the guest lets go of its mounts, the VM of its device.
            try {
                co_await service->unmount(bsdName);
            } catch (const std::exception& error) {
                qCCritical(lcDiskDetection, "Filesystem unmount failed: %s", error.what());
            }
            try {
                co_await vm.detachDisk(bsdName);
            } catch (const std::exception& error) {
                qCCritical(lcDiskDetection, "Cannot take %s out of the VM: %s",
                           qUtf8Printable(bsdName), error.what());
            }
        } else {
            if (appState)
                appState->setVmStatus(VMStatus::stopped());
            co_await vm.stopVM();
            link.disconnect();
        }
        if (!self)
            co_return;
    }
    diskHandles.erase(bsdName);
    forgetMounts(bsdName);
    bool cardsDropped = false;
    for (const model::Device& device : devices_) {
        if (device.id != bsdName)
            continue;
        for (const model::Partition& partition : device.partitions)
            cardsDropped = healthCards_.erase(partition.id) > 0 || cardsDropped;
    }
    const auto removed = devices_.removeIf([&](const model::Device& d) { return d.id == bsdName; });
    if (removed > 0)
        Q_EMIT devicesChanged();
    if (cardsDropped)
        Q_EMIT healthCardsChanged();
    if (selectedDeviceID_ == bsdName)
        setSelectedDeviceID(std::nullopt);
    qCInfo(lcDiskDetection, "Device removed: %s", qUtf8Printable(bsdName));
}

}  // namespace quorvale::app
