#include "app/devices/device_list_view_model.h"

#include <QtConcurrent/QtConcurrentRun>

#include <fcntl.h>

#include <qcoro/qcorofuture.h>
#include <qcoro/qcorotimer.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "app/core/app_log.h"
#include "disk/helper_error.h"
#include "fileops/file_operation_service.h"
#include "fileops/partition_control.h"
#include "guest/vm_error.h"
#include "guest/vsock_transport.h"
#include "rpc/device_name.h"
#include "rpc/json_rpc.h"

namespace quorvale::app {
namespace {

using guest::VMStatus;

// Thrown inside a mount task once it has been cancelled.
struct MountCancelled : std::exception {
    const char* what() const noexcept override { return "Mount cancelled"; }
};

bool isExtFilesystem(model::FilesystemType type) {
    return type == model::FilesystemType::ext4 || type == model::FilesystemType::ext3 ||
           type == model::FilesystemType::ext2;
}

QString displayName(const model::Partition& partition) {
    return partition.label.value_or(partition.bsdName);
}

// The guest's code for a journal that needs recovery (EUCLEAN).
constexpr std::int64_t journalNeedsRecovery = -117;

// Outside the coroutines: g++ 12 mishandles lambdas capturing coroutine parameters.
QFuture<disk::PartitionHealth> readHealthOnWorker(
    std::function<disk::PartitionHealth(const model::Partition&, int)> read,
    model::Partition partition, int imageFd) {
    return QtConcurrent::run([read = std::move(read), partition = std::move(partition), imageFd] {
        return read(partition, imageFd);
    });
}

disk::PartitionHealth readHostHealth(const model::Partition& partition, int imageFd) {
    if (imageFd < 0)
        return disk::PartitionHealthReader().read(partition.bsdName, partition.size);
    auto health = disk::PartitionHealthReader::readAt(imageFd, partition.offset, partition.size,
                                                      partition.bsdName);
    // An image opened read-only (the file refuses writes) is the image's write protection.
    health.writeProtected = (::fcntl(imageFd, F_GETFL) & O_ACCMODE) == O_RDONLY;
    return health;
}

// A read-only description of the file behind `fd` (the VM is given read-only access by the
// descriptor's mode).
UniqueFd readOnlyHandle(const UniqueFd& fd) {
    const QByteArray path = "/proc/self/fd/" + QByteArray::number(fd.get());
    UniqueFd reopened(::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!reopened)
        throw guest::VMError(guest::VMError::Kind::diskAttachmentFailed, std::strerror(errno));
    return reopened;
}

}  // namespace

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

std::optional<HealthCard> DeviceListViewModel::healthCard(const QString& partitionID) const {
    const auto it = healthCards_.find(partitionID);
    if (it == healthCards_.end())
        return std::nullopt;
    return it->second;
}

QCoro::Task<HealthCard> DeviceListViewModel::readCard(QPointer<DeviceListViewModel> self,
                                                      const model::Partition& partition,
                                                      int imageFd) {
    auto reading = readHealthOnWorker(self->readHealth, partition, imageFd);
    const disk::PartitionHealth health = co_await reading;
    HealthCard card = makeHealthCard(health);
    if (self) {
        self->healthCards_[partition.id] = card;
        Q_EMIT self->healthCardsChanged();
    }
    co_return card;
}

void DeviceListViewModel::readHealthCards(const model::Device& device) {
    for (const model::Partition& partition : device.partitions) {
        // A mounted partition keeps the card read before mounting: the host would now see the
        // guest's mount (a journal in use) rather than how the card was left.
        if (isExtFilesystem(partition.filesystemType) &&
            !mountedPartitions_.contains(partition.bsdName))
            readReportedCard(QPointer<DeviceListViewModel>(this), partition);
    }
}

QCoro::Task<void> DeviceListViewModel::readReportedCard(QPointer<DeviceListViewModel> self,
                                                        model::Partition partition) {
    std::optional<UniqueFd> image = self->diskService_->imageHandle(wholeDiskOf(partition.bsdName));
    auto reading = readHealthOnWorker(self->readHealth, partition, image ? image->get() : -1);
    const disk::PartitionHealth health = co_await reading;
    // The device may have gone, or the guest mounted the partition, while this card was read.
    if (!self || !self->hasPartition(partition.id) ||
        self->mountedPartitions_.contains(partition.bsdName))
        co_return;
    self->healthCards_[partition.id] = makeHealthCard(health);
    Q_EMIT self->healthCardsChanged();
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

void DeviceListViewModel::forgetMounts(const QString& disk) {
    mountedPartitions_.removeIf(
        [&](const QString& name) { return disk.isEmpty() || wholeDiskOf(name) == disk; });
}

QCoro::Task<bool> DeviceListViewModel::mountInGuest(QPointer<DeviceListViewModel> self,
                                                    const model::Partition& partition,
                                                    const MountDecision& decision,
                                                    QPointer<AppState> appState) {
    fileops::PartitionControl control(self->transport);
    bool readOnly = false;
    try {
        auto mounting = control.mount(partition.bsdName, decision.readOnly, decision.replayJournal);
        readOnly = co_await std::move(mounting);
    } catch (const rpc::JSONRPCError& error) {
        // The host could not read the superblock, but the guest found the journal dirty.
        if (error.code != journalNeedsRecovery)
            throw;
        if (appState) {
            appState->setActiveAlert(AppAlert::journalRecovery(
                partition, QStringLiteral("Not unmounted cleanly: the journal needs recovery")));
        }
        co_return false;
    }
    if (!self)
        co_return true;
    if (!self->mountedPartitions_.contains(partition.bsdName))
        self->mountedPartitions_.append(partition.bsdName);
    if ((readOnly || decision.readOnly) && appState) {
        appState->showErrorBanner(
            decision.notice.isEmpty()
                ? QStringLiteral("%1 opened read-only").arg(displayName(partition))
                : decision.notice);
    }
    co_return true;
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

std::optional<guest::VMDisk> DeviceListViewModel::vmDisk(const QString& disk) const {
    const auto held = diskHandles.find(disk);
    if (held == diskHandles.end())
        return std::nullopt;
    UniqueFd copy(::fcntl(held->second.get(), F_DUPFD_CLOEXEC, 0));
    if (!copy)
        throw guest::VMError(guest::VMError::Kind::diskAttachmentFailed, std::strerror(errno));
    guest::VMDisk vmDisk{disk, std::move(copy)};
    if (const auto staged = staging_.find(disk);
        staged != staging_.end() && staged->second.overlay) {
        vmDisk.overlay = UniqueFd(::fcntl(staged->second.overlay.get(), F_DUPFD_CLOEXEC, 0));
        if (!vmDisk.overlay)
            throw guest::VMError(guest::VMError::Kind::diskAttachmentFailed, std::strerror(errno));
    }
    return vmDisk;
}

void DeviceListViewModel::mount(const model::Partition& partition, JournalChoice choice) {
    if (!appState)
        return;
    if (partition.filesystemType != model::FilesystemType::ext4) {
        const QString name = partition.label.value_or(partition.bsdName);
        appState->showErrorBanner(QStringLiteral("Cannot mount %1: only EXT4 filesystems are "
                                                 "supported.")
                                      .arg(name));
        return;
    }
    // A mount under way gives way: whatever it started stays for this one to use.
    if (mountTask)
        mountTask->stop.request_stop();
    mountTask = std::make_shared<MountRun>();
    mountTask->disk = wholeDiskOf(partition.bsdName);
    // A card already in the running VM only reads its health and mounts: nothing boots.
    if (!vmService.isRunning() || !vmService.diskNames().contains(mountTask->disk)) {
        appState->setIsBootingVM(true);
        appState->setVmStatus(VMStatus::booting());
    }
    mountTask->partition = partition;
    mountTask->choice = choice;
    runMount(QPointer<DeviceListViewModel>(this), appState, mountTask);
}

void DeviceListViewModel::cancelMount() {
    if (const auto run = std::exchange(mountTask, nullptr)) {
        run->stop.request_stop();
        switch (run->phase) {
            case MountRun::Phase::booting:
                // Nothing is mounted in a VM still booting: end it now, so that the disks are
                // free for the next mount at once.
                vmService.abortVM();
                transport.disconnect();
                diskHandles.clear();
                break;
            case MountRun::Phase::attaching:
                // The plug-in finishes first; the mount task then takes the disk out again.
                run->abandoned = true;
                break;
            case MountRun::Phase::opening:
            case MountRun::Phase::done:
                break;
        }
    }
    if (appState) {
        appState->setIsBootingVM(false);
        appState->setVmStatus(vmService.isRunning() ? VMStatus::running() : VMStatus::stopped());
    }
}

QCoro::Task<void> DeviceListViewModel::runMount(QPointer<DeviceListViewModel> self,
                                                QPointer<AppState> appState,
                                                std::shared_ptr<MountRun> run) {
    co_await mountSequence(self, std::move(appState), run);
    run->phase = MountRun::Phase::done;
    if (self)
        Q_EMIT self->mountFinished();
}

QCoro::Task<void> DeviceListViewModel::holdDisk(QPointer<DeviceListViewModel> self, QString disk,
                                                bool readOnly, std::stop_token stop, bool staged) {
    if (self->diskHandles.contains(disk))
        co_return;
    HelperAccess& helper = self->helperClient;
    UniqueFd handle;
    if (auto image = self->diskService_->imageHandle(disk))
        handle = self->attachReadOnly || staged ? readOnlyHandle(*image) : std::move(*image);
    else
        handle = co_await helper.openDisk(disk, readOnly || self->attachReadOnly);
    if (stop.stop_requested() || !self)
        throw MountCancelled();
    // Another mount may have opened it meanwhile: the first handle stays.
    self->diskHandles.try_emplace(disk, std::move(handle));
}

QCoro::Task<void> DeviceListViewModel::bootWithHeldDisks(QPointer<DeviceListViewModel> self,
                                                         std::shared_ptr<MountRun> run) {
    VMControl& vm = self->vmService;
    std::vector<guest::VMDisk> disks;
    for (const auto& [name, fd] : self->diskHandles)
        disks.push_back(*self->vmDisk(name));
    run->phase = MountRun::Phase::booting;
    co_await vm.bootVM(std::move(disks));
    if (run->stop.stop_requested() || !self)
        throw MountCancelled();
    co_await waitForVMReady(self, self->readyTimeout, run->stop.get_token());
}

QCoro::Task<void> DeviceListViewModel::attachHeldDisk(QPointer<DeviceListViewModel> self,
                                                      std::shared_ptr<MountRun> run) {
    VMControl& vm = self->vmService;
    if (!vm.diskNames().contains(run->disk)) {
        run->phase = MountRun::Phase::attaching;
        auto disk = self->vmDisk(run->disk);
        if (!disk)
            throw MountCancelled();
        try {
            co_await vm.attachDisk(std::move(*disk));
        } catch (const std::exception&) {
            if (self && run->abandoned && !(self->mountTask && self->mountTask->disk == run->disk))
                self->diskHandles.erase(run->disk);
            throw;
        }
        if (run->abandoned && self) {
            co_await undoAttach(self, run->disk);
            throw MountCancelled();
        }
        if (run->stop.stop_requested() || !self)
            throw MountCancelled();
    }
    // A VM still coming up (its probe given up by a mount that made way) is probed first.
    if (!self->transport.isConnected())
        co_await waitForVMReady(self, self->readyTimeout, run->stop.get_token());
}

QCoro::Task<void> DeviceListViewModel::mountSequence(QPointer<DeviceListViewModel> self,
                                                     QPointer<AppState> appState,
                                                     std::shared_ptr<MountRun> run) {
    if (!self)
        co_return;
    const std::stop_token stop = run->stop.get_token();
    const auto cancelled = [&] { return stop.stop_requested() || !self || !appState; };
    VMControl& vm = self->vmService;
    const model::Partition& partition = run->partition;
    bool attaching = false;
    try {
        std::optional<UniqueFd> image = self->diskService_->imageHandle(run->disk);
        // Named tasks: g++ 12 destroys by-value arguments of a co_await expression twice when
        // the awaited coroutine throws.
        auto reading = readCard(self, partition, image ? image->get() : -1);
        const HealthCard card = co_await std::move(reading);
        image.reset();
        if (cancelled())
            co_return;
        const MountDecision decision = decideMount(card, run->choice, displayName(partition));
        if (decision.action != MountDecision::Action::open) {
            appState->setIsBootingVM(false);
            appState->setVmStatus(vm.isRunning() ? VMStatus::running() : VMStatus::stopped());
            if (decision.action == MountDecision::Action::refuse)
                appState->showErrorBanner(decision.notice);
            else
                appState->setActiveAlert(AppAlert::journalRecovery(partition, card.summary));
            co_return;
        }
        const bool staged = self->decideStaging(*run, card);
        auto holding = holdDisk(self, run->disk, decision.openDiskReadOnly || staged, stop, staged);
        co_await std::move(holding);
        if (cancelled())
            co_return;
        if (staged && !self->prepareStaging(*run)) {
            // A pending record that does not fit this card: the card opens as usual.
            if (!vm.diskNames().contains(run->disk))
                self->diskHandles.erase(run->disk);
            auto again = holdDisk(self, run->disk, decision.openDiskReadOnly, stop);
            co_await std::move(again);
            if (cancelled())
                co_return;
        }
        if (vm.isRunning()) {
            attaching = true;
            co_await attachHeldDisk(self, run);
        } else {
            co_await bootWithHeldDisks(self, run);
        }
        if (cancelled())
            co_return;
        auto mounting = mountInGuest(self, partition, decision, appState);
        co_await std::move(mounting);
        if (!cancelled()) {
            appState->setVmStatus(VMStatus::running());
            appState->setIsBootingVM(false);
        }
    } catch (const MountCancelled&) {
    } catch (const disk::HelperError& error) {
        if (cancelled())
            co_return;
        if (error.kind == disk::HelperError::Kind::accessDenied) {
            qCCritical(lcDiskDetection, "Full Disk Access required");
            appState->setVmStatus(vm.isRunning() ? VMStatus::running() : VMStatus::stopped());
            appState->setIsBootingVM(false);
            appState->setNeedsFullDiskAccess(true);
        } else {
            self->reportMountFailure(error, run->disk, false);
        }
    } catch (const std::exception& error) {
        if (!cancelled())
            self->reportMountFailure(error, run->disk, attaching);
    }
}

QCoro::Task<void> DeviceListViewModel::undoAttach(QPointer<DeviceListViewModel> self,
                                                  QString disk) {
    // A newer mount of the same disk keeps it.
    if (self->mountTask && self->mountTask->disk == disk)
        co_return;
    VMControl& vm = self->vmService;
    try {
        co_await vm.detachDisk(disk);
    } catch (const std::exception& error) {
        qCCritical(lcDiskDetection, "Cannot take %s out of the VM: %s", qUtf8Printable(disk),
                   error.what());
    }
    if (self && !(self->mountTask && self->mountTask->disk == disk))
        self->diskHandles.erase(disk);
}

void DeviceListViewModel::reportMountFailure(const std::exception& error, const QString& disk,
                                             bool attaching) {
    const QString description = QString::fromUtf8(error.what());
    qCCritical(lcDiskDetection, "Mount failed: %s", error.what());
    if (attaching) {
        // The VM goes on serving the other cards; only this disk is let go.
        diskHandles.erase(disk);
    } else if (!vmService.isRunning()) {
        // No VM took the handles: nothing is mounted, every card is free again.
        diskHandles.clear();
    }
    // A refused plug-in leaves the VM serving the other cards.
    appState->setVmStatus(attaching && vmService.isRunning() ? VMStatus::running()
                                                             : VMStatus::error(description));
    appState->setIsBootingVM(false);
    appState->showErrorBanner(QStringLiteral("Failed to mount: ") + description);
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

QCoro::Task<void> DeviceListViewModel::waitForVMReady(QPointer<DeviceListViewModel> self,
                                                      std::chrono::milliseconds timeout,
                                                      std::stop_token stop) {
    const auto cancelled = [&] { return stop.stop_requested() || !self; };
    VMControl& vm = self->vmService;
    guest::VsockTransport& transport = self->transport;
    auto service = std::make_shared<fileops::FileOperationService>(transport);
    service->checkDisksWith(self->diskCheck());
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
