// DeviceListViewModel: staged changes (mount below an overlay, apply, discard).

#include <fcntl.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#include "app/core/app_log.h"
#include "app/devices/device_list_view_model.h"
#include "fileops/file_operation_service.h"
#include "fileops/partition_control.h"
#include "guest/vsock_transport.h"

namespace quorvale::app {

void DeviceListViewModel::stageChanges(const QString& disk, QString recordPath, QString source) {
    Staging& staging = staging_[disk];
    staging.recordPath = std::move(recordPath);
    staging.source = source.isEmpty() ? disk : std::move(source);
    staging.recovered = false;
    staging.requested = true;
    Q_EMIT stagingChanged(disk);
}

std::optional<StagedRecord> DeviceListViewModel::stagedRecord(const QString& disk) const {
    const auto found = staging_.find(disk);
    if (found == staging_.end())
        return std::nullopt;
    return found->second.record;
}

QString DeviceListViewModel::stagedRecordPath(const QString& disk) const {
    const auto found = staging_.find(disk);
    return found == staging_.end() ? QString() : found->second.recordPath;
}

void DeviceListViewModel::recordStagedOperation(const QString& disk, StagedOperation operation) {
    const auto found = staging_.find(disk);
    if (found == staging_.end() || !found->second.record)
        return;
    found->second.record->operations.append(std::move(operation));
    try {
        StagedStore::save(*found->second.record, found->second.recordPath);
    } catch (const StagedError& error) {
        qCCritical(lcDiskDetection, "Cannot save the staged changes: %s", error.what());
    }
    Q_EMIT stagingChanged(disk);
}

void DeviceListViewModel::checkStagingRoom(const QString& disk, std::uint64_t bytes) const {
    const auto found = staging_.find(disk);
    if (found == staging_.end() || !found->second.record)
        return;
    StagedStore::checkRoom(QFileInfo(found->second.record->overlay).absolutePath(), bytes);
}

void DeviceListViewModel::checkStagedChange(const fileops::Change& change, const QString& partition,
                                            std::uint64_t entryBytes) const {
    const StagedOperation operation = stagedOperationFor(change, entryBytes);
    if (operation.kind == StagedOperation::Kind::upload ||
        operation.kind == StagedOperation::Kind::duplicate)
        checkStagingRoom(wholeDiskOf(partition), operation.bytes);
}

void DeviceListViewModel::stagedChange(const fileops::Change& change, const QString& partition,
                                       std::uint64_t entryBytes) {
    recordStagedOperation(wholeDiskOf(partition), stagedOperationFor(change, entryBytes));
}

QCoro::Task<void> DeviceListViewModel::setStaged(model::Partition partition, bool staged) {
    QPointer<DeviceListViewModel> self(this);
    const QString disk = wholeDiskOf(partition.bsdName);
    if (staged == isStaging(disk))
        co_return;
    if (!staged) {
        if (const auto record = stagedRecord(disk); record && !record->operations.isEmpty()) {
            if (appState)
                appState->showErrorBanner(QStringLiteral(
                    "Changes are pending on this card: apply them or discard them first."));
            Q_EMIT stagingChanged(disk);
            co_return;
        }
        // Nothing staged yet: the empty overlay goes and the card is mounted directly.
        co_await discardStagedChanges(disk);
    } else {
        if (vmService.diskNames().contains(disk)) {
            co_await flushInGuest(disk);
            if (!self)
                co_return;
            forgetMounts(disk);
            co_await releaseFromVM(disk);
            if (!self)
                co_return;
        }
        diskHandles.erase(disk);
        stageChanges(disk);
    }
    if (self)
        mount(partition);
}

bool DeviceListViewModel::decideStaging(const MountRun& run, const HealthCard& card) {
    const auto asked = staging_.find(run.disk);
    if (asked != staging_.end() && !asked->second.recordPath.isEmpty())
        return true;
    const bool requested = asked != staging_.end();
    if (!recoverStagedChanges || card.uuid.isEmpty())
        return requested;
    // A pending record for a filesystem of this UUID: the identity is checked in full once the
    // card is held.
    CardIdentity wanted;
    wanted.uuid = card.uuid;
    const QString directory = StagedStore::defaultDirectory();
    for (const QFileInfo& entry :
         QDir(directory).entryInfoList({QStringLiteral("*.json")}, QDir::Files, QDir::Time)) {
        try {
            const StagedRecord record = StagedStore::load(entry.filePath());
            if (record.card.uuid != card.uuid || record.card.partition.isEmpty())
                continue;
            Staging& staging = staging_[run.disk];
            staging.recordPath = entry.filePath();
            if (!requested)
                staging.source = record.card.source;
            staging.recovered = true;
            staging.requested = requested;
            return true;
        } catch (const StagedError&) {
        }
    }
    return requested;
}

bool DeviceListViewModel::prepareStaging(const MountRun& run) {
    Staging& staging = staging_.at(run.disk);
    const auto held = diskHandles.find(run.disk);
    if (held == diskHandles.end())
        throw StagedError("the card is not open");
    const CardIdentity now =
        CardIdentity::read(held->second.get(), static_cast<std::int64_t>(run.partition.offset),
                           staging.source, run.partition.bsdName);
    if (!staging.recordPath.isEmpty() && QFileInfo::exists(staging.recordPath)) {
        StagedRecord record = StagedStore::load(staging.recordPath);
        const CardIdentity::Match match = record.card.compare(now);
        if (match != CardIdentity::Match::same || record.card.partition != now.partition) {
            const QString why = match == CardIdentity::Match::same
                                    ? QStringLiteral("the staged changes are on partition %1")
                                          .arg(record.card.partition)
                                    : record.card.refusal(match);
            if (!staging.recovered)
                throw StagedError(why.toStdString());
            qCWarning(lcDiskDetection, "Staged changes in %s left alone: %s",
                      qUtf8Printable(staging.recordPath), qUtf8Printable(why));
            if (appState)
                appState->showErrorBanner(
                    QStringLiteral("Staged changes for this card were left aside: %1 (%2).")
                        .arg(why, staging.recordPath));
            if (!staging.requested) {
                staging_.erase(run.disk);
                return false;
            }
            // Staging was asked for: it starts afresh.
            staging.recordPath.clear();
            staging.recovered = false;
            return prepareStaging(run);
        }
        staging.overlay = UniqueFd(
            ::open(QFile::encodeName(record.overlay).constData(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
        if (!staging.overlay)
            throw StagedError("cannot open the overlay " + record.overlay.toStdString() + ": " +
                              std::strerror(errno));
        staging.record = std::move(record);
        qCInfo(lcDiskDetection, "Staged changes of %s taken up from %s", qUtf8Printable(run.disk),
               qUtf8Printable(staging.recordPath));
        if (staging.recovered && !staging.requested)
            Q_EMIT stagedChangesRecovered(run.disk, staging.recordPath);
    } else {
        const QString directory = StagedStore::defaultDirectory();
        StagedStore::checkRoom(directory, 0);
        StagedRecord record;
        record.overlay = StagedStore::createOverlay(directory, now.size);
        record.card = now;
        if (staging.recordPath.isEmpty())
            staging.recordPath =
                QDir(directory).filePath(QFileInfo(record.overlay).completeBaseName() + ".json");
        try {
            StagedStore::save(record, staging.recordPath);
        } catch (const StagedError&) {
            QFile::remove(record.overlay);
            throw;
        }
        staging.overlay = UniqueFd(
            ::open(QFile::encodeName(record.overlay).constData(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
        if (!staging.overlay)
            throw StagedError("cannot open the overlay " + record.overlay.toStdString() + ": " +
                              std::strerror(errno));
        staging.record = std::move(record);
        qCInfo(lcDiskDetection, "Staging changes of %s in %s", qUtf8Printable(run.disk),
               qUtf8Printable(staging.recordPath));
    }
    Q_EMIT stagingChanged(run.disk);
    return true;
}

QCoro::Task<CheckReport> DeviceListViewModel::applyStagedChanges(
    QString disk, std::function<void(quint64, quint64)> progress) {
    QPointer<DeviceListViewModel> self(this);
    const auto found = staging_.find(disk);
    if (found == staging_.end() || !found->second.record)
        throw StagedError("no staged changes on " + disk.toStdString());
    if (!vmService.diskNames().contains(disk))
        throw StagedError(disk.toStdString() + " is not in the VM");
    const StagedRecord record = *found->second.record;
    const QString recordPath = found->second.recordPath;
    const auto service = fileOpService_;
    // Everything the guest holds of the partition reaches the overlay first.
    co_await service->sync(disk);
    co_await service->unmount(disk);
    if (!self)
        throw StagedError("the app is closing");
    forgetMounts(disk);

    const auto held = diskHandles.find(disk);
    if (held == diskHandles.end())
        throw StagedError("the card is not open");
    const CardIdentity now = CardIdentity::read(held->second.get(), record.card.offset,
                                                record.card.source, record.card.partition);
    if (const auto match = record.card.compare(now); match != CardIdentity::Match::same)
        throw StagedError(record.card.refusal(match).toStdString());

    // Writable for this step only: QEMU keeps the descriptor while the disk is in the VM.
    UniqueFd writable;
    if (auto image = diskService_->imageHandle(disk)) {
        if ((::fcntl(image->get(), F_GETFL) & O_ACCMODE) != O_RDWR)
            throw StagedError("the card is write-protected: its changes cannot be applied");
        writable = std::move(*image);
    } else {
        // The VM holds the card exclusively through our read-only handle: the helper opens it
        // writable beside that claim.
        auto opening = helperClient.openHeldDisk(disk, held->second.get());
        writable = co_await std::move(opening);
    }
    if (!self)
        throw StagedError("the app is closing");
    qCInfo(lcDiskDetection, "Applying the staged changes of %s", qUtf8Printable(disk));
    auto committing = vmService.commitOverlay(disk, std::move(writable), std::move(progress));
    co_await std::move(committing);
    if (!self)
        throw StagedError("the app is closing");

    // The device writes to the card directly now.
    staging_.erase(disk);
    Q_EMIT stagingChanged(disk);

    // runCheck takes its arguments by reference: they must outlive the awaiting.
    fileops::PartitionControl control(transport);
    const std::function<void(const fileops::CheckStatus&)> noProgress;
    const std::stop_source never;
    auto checking = control.runCheck(record.card.partition, noProgress, never.get_token());
    const fileops::CheckStatus status = co_await std::move(checking);
    const CheckReport report = makeCheckReport(status);
    // The overlay goes once the card checked clean; otherwise it stays for a look.
    if (report.exitStatus() == 0)
        StagedStore::discard(recordPath);
    else
        qCCritical(lcDiskDetection,
                   "The card's check after applying found problems; the "
                   "overlay stays in %s",
                   qUtf8Printable(record.overlay));
    co_return report;
}

QCoro::Task<void> DeviceListViewModel::discardStagedChanges(QString disk) {
    QPointer<DeviceListViewModel> self(this);
    const auto found = staging_.find(disk);
    if (found == staging_.end())
        co_return;
    const QString recordPath = found->second.recordPath;
    if (vmService.diskNames().contains(disk)) {
        if (const auto service = fileOpService_) {
            try {
                co_await service->unmount(disk);
            } catch (const std::exception& error) {
                qCWarning(lcDiskDetection, "Unmount before discarding failed: %s", error.what());
            }
        }
        if (!self)
            co_return;
        forgetMounts(disk);
        co_await releaseFromVM(disk);
        if (!self)
            co_return;
    }
    diskHandles.erase(disk);
    if (!recordPath.isEmpty())
        StagedStore::discard(recordPath);
    staging_.erase(disk);
    qCInfo(lcDiskDetection, "Staged changes of %s discarded", qUtf8Printable(disk));
    Q_EMIT stagingChanged(disk);
}

}  // namespace quorvale::app
