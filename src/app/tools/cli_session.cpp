#include "cli_session.h"

#include <QFileInfo>

#include <iostream>

#include <qcoro/qcorotimer.h>

#include "app/browser/audit_log.h"
#include "disk/disk_detection_service.h"
#include "fileops/file_operation_service.h"
#include "rpc/device_name.h"

namespace quorvale::app::cli {
namespace {

using namespace std::chrono_literals;

bool matchesPartition(const model::Partition& partition, const QString& wanted) {
    if (partition.bsdName == wanted || partition.id == wanted)
        return true;
    bool isNumber = false;
    const unsigned number = wanted.toUInt(&isNumber);
    const auto own = rpc::partitionNumber(partition.bsdName.toStdString());
    return isNumber && own && *own == number;
}

QString wholeDiskOf(const QString& partition) {
    const auto whole = rpc::wholeDiskName(partition.toStdString());
    return whole ? QString::fromStdString(*whole) : partition;
}

}  // namespace

Session::Session() {
    auto source = std::make_unique<DetectionDiskSource>(&helperClient);
    disks = source.get();
    deviceList =
        std::make_unique<DeviceListViewModel>(helper, vm, transport, &state, std::move(source));
    browserModel = std::make_unique<FileBrowserViewModel>();
    // A placeholder selection keeps the list from mounting devices on its own; this session
    // picks the partition itself.
    model::Partition placeholder;
    state.setSelectedPartition(placeholder);
}

Session::~Session() = default;

QCoro::Task<model::Device> Session::findDevice(const QString& source) {
    if (QFileInfo(source).isFile())
        co_return co_await disks->service().openImage(source);
    if (!rpc::isWholeDiskName(source.toStdString()))
        throw CliError("no such disk image or whole-disk name: " + source.toStdString());
    if (!monitoring) {
        monitoring = true;
        bool enumerated = false;
        const auto connection =
            QObject::connect(&disks->service(), &disk::DiskDetectionService::enumerationCompleted,
                             &disks->service(), [&enumerated] { enumerated = true; });
        deviceList->diskService().startMonitoring();
        deviceList->setIsMonitoring(true);
        for (int waited = 0; waited < 100 && !enumerated; ++waited)
            co_await QCoro::sleepFor(100ms);
        QObject::disconnect(connection);
        co_await QCoro::sleepFor(100ms);  // the last reports are delivered through the event loop
    }
    for (const model::Device& device : deviceList->devices()) {
        if (device.id == source)
            co_return device;
    }
    throw CliError("no removable disk named " + source.toStdString());
}

QCoro::Task<model::Partition> Session::locate(SourceSpec wanted) {
    const model::Device device = co_await findDevice(wanted.source);
    if (firstDevice.id.isEmpty())
        firstDevice = device;
    std::optional<model::Partition> chosen;
    for (const model::Partition& candidate : device.partitions) {
        if (wanted.partition.isEmpty() ? candidate.isEXT4()
                                       : matchesPartition(candidate, wanted.partition)) {
            chosen = candidate;
            break;
        }
    }
    if (chosen)
        diskOfPartition.insert(chosen->bsdName, device.name);
    if (!chosen) {
        throw CliError(wanted.partition.isEmpty()
                           ? "no ext4 partition on " + wanted.source.toStdString()
                           : "no partition " + wanted.partition.toStdString() + " on " +
                                 wanted.source.toStdString());
    }
    co_return *chosen;
}

disk::PartitionHealth Session::health(const model::Partition& partition) {
    disk::DiskImageRegistry& images = disks->service().images();
    const QString wholeDisk = wholeDiskOf(partition.bsdName);
    if (images.contains(wholeDisk)) {
        auto health = disk::PartitionHealthReader::readAt(images.fd(wholeDisk), partition.offset,
                                                          partition.size, images.path(wholeDisk));
        health.writeProtected = images.isReadOnly(wholeDisk);
        return health;
    }
    return disk::PartitionHealthReader().read(partition.bsdName, partition.size);
}

QCoro::Task<QString> Session::open(SourceSpec wanted, std::chrono::milliseconds readyTimeout) {
    for (const auto& [source, name] : mountedSources)
        if (source == wanted)
            co_return name;
    const model::Partition located = co_await locate(wanted);
    const std::optional<model::Partition> chosen = located;
    bool finished = false;
    const auto connection = QObject::connect(deviceList.get(), &DeviceListViewModel::mountFinished,
                                             deviceList.get(), [&finished] { finished = true; });
    deviceList->readyTimeout = readyTimeout;
    deviceList->attachReadOnly = readOnly;
    // A read-only run takes up no staged changes: it reads the card itself.
    deviceList->recoverStagedChanges = !readOnly;
    const QString disk = wholeDiskOf(chosen->bsdName);
    if (staged && !deviceList->isStaging(disk))
        deviceList->stageChanges(disk, sessionFile,
                                 QFileInfo(wanted.source).isFile()
                                     ? QFileInfo(wanted.source).absoluteFilePath()
                                     : wanted.source);
    state.setErrorMessage(std::nullopt);
    state.setSelectedPartition(chosen);
    state.setActiveAlert(std::nullopt);
    deviceList->mount(*chosen, choice);
    if (state.errorMessage()) {  // refused at once (not ext4)
        QObject::disconnect(connection);
        throw CliError(state.errorMessage()->toStdString());
    }
    while (!finished)
        co_await QCoro::sleepFor(20ms);
    QObject::disconnect(connection);
    if (const auto alert = state.activeAlert();
        alert && alert->kind == AppAlert::Kind::journalRecovery) {
        throw CliError(chosen->bsdName.toStdString() + ": " + alert->message.toStdString() +
                       "; open it with --read-only (nothing is written) or --repair (the "
                       "journal is replayed)");
    }
    if (state.needsFullDiskAccess())
        throw CliError("access to " + wanted.source.toStdString() +
                       " denied: your account needs permission for the Quorvale helper");
    // A plug-in refused by a running VM leaves it running: the banner says what failed. On a
    // mounted partition the banner is a notice (opened read-only) and the command goes on.
    if (state.errorMessage()) {
        if (!deviceList->isMounted(chosen->bsdName))
            throw CliError(state.errorMessage()->toStdString());
        std::cerr << "quorvale-cli: " << state.errorMessage()->toStdString() << "\n";
    }
    if (state.vmStatus().state != guest::VMStatus::State::running)
        throw CliError(state.vmStatus().description.toStdString());
    if (!staged && noteRecovered && deviceList->isStaging(disk))
        std::cerr << "quorvale-cli: " << wanted.source.toStdString()
                  << " has staged changes not yet applied ("
                  << deviceList->stagedRecordPath(disk).toStdString()
                  << "): this command works on them\n";
    mountedSources.emplace_back(wanted, chosen->bsdName);
    // Every change the command sends is audited, as from the window.
    deviceList->fileOpService()->recordChanges([disks = diskOfPartition](const auto& change) {
        const QString disk = change.partition ? disks.value(*change.partition) : QString();
        recordChange(auditAction(change.kind, change.replaces), change, disk);
    });
    if (readOnly)
        deviceList->fileOpService()->refuseChanges(
            QStringLiteral("the session is read-only (--read-only)"));
    browserModel->fileOpService = deviceList->fileOpService();
    co_return chosen->bsdName;
}

QString Session::stagedDisk(const QString& partition) const {
    const QString disk = wholeDiskOf(partition);
    return deviceList->stagedRecord(disk) ? disk : QString();
}

FileBrowserViewModel& Session::browser(const QString& partition) {
    browserModel->fileOpService = deviceList->fileOpService();
    browserModel->currentPartition = partition;
    return *browserModel;
}

QCoro::Task<void> Session::close() {
    if (!mountedSources.empty()) {
        const auto guest = deviceList->fileOpService();
        try {
            co_await guest->sync();
            co_await guest->unmount();
        } catch (const std::exception&) {
            // Stopping the VM below still powers the guest off cleanly.
        }
    }
    co_await vmService.stopVM();
    transport.disconnect();
}

}  // namespace quorvale::app::cli
