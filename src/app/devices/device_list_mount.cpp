// DeviceListViewModel: the mount road (hold the disk, boot the VM or plug the disk in, probe
// the guest, mount in the guest) and its cancellation.

#include <fcntl.h>

#include <qcoro/qcorotimer.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "app/core/app_log.h"
#include "app/devices/device_list_view_model.h"
#include "disk/helper_error.h"
#include "fileops/file_operation_service.h"
#include "fileops/partition_control.h"
#include "guest/vm_error.h"
#include "guest/vsock_transport.h"
#include "rpc/json_rpc.h"

namespace quorvale::app {
namespace {

using guest::VMStatus;

// Thrown inside a mount task once it has been cancelled.
struct MountCancelled : std::exception {
    const char* what() const noexcept override { return "Mount cancelled"; }
};

QString displayName(const model::Partition& partition) {
    return partition.label.value_or(partition.bsdName);
}

// The guest's code for a journal that needs recovery (EUCLEAN).
constexpr std::int64_t journalNeedsRecovery = -117;

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
    std::optional<HeldDisk> held;
    if (auto image = self->diskService_->imageHandle(disk)) {
        held.emplace(self->attachReadOnly || staged ? readOnlyHandle(*image) : std::move(*image));
    } else {
        UniqueFd handle = co_await helper.openDisk(disk, readOnly || self->attachReadOnly);
        if (!self)
            throw MountCancelled();
        held.emplace(std::move(handle), [&helper, disk] { helper.releaseDisk(disk); });
    }
    if (stop.stop_requested())
        throw MountCancelled();
    // Another mount may have opened it meanwhile: the first handle stays.
    self->diskHandles.try_emplace(disk, std::move(*held));
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

}  // namespace quorvale::app
