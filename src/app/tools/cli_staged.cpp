// quorvale-cli with staged changes: what each command stages, apply and discard.

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QPointer>

#include <cstdio>

#include "app/devices/device_list_view_model.h"
#include "app/health/check_report.h"
#include "app/staging/staged_changes.h"
#include "cli_staged.h"
#include "cli_support.h"
#include "fileops/file_operation_service.h"

namespace quorvale::app::cli {
namespace {

// Bytes of a local file, or of every file under a local folder.
std::uint64_t localBytes(const QString& path) {
    const QFileInfo info(path);
    if (!info.isDir() || info.isSymLink())
        return info.isSymLink() ? 0 : static_cast<std::uint64_t>(info.size());
    std::uint64_t total = 0;
    QDirIterator files(path, QDir::Files | QDir::Hidden | QDir::NoSymLinks,
                       QDirIterator::Subdirectories);
    while (files.hasNext()) {
        files.next();
        total += static_cast<std::uint64_t>(files.fileInfo().size());
    }
    return total;
}

// An entry's size for the record: a file's bytes; nothing for a folder or a missing entry.
QCoro::Task<std::uint64_t> remoteBytes(Session& session, Remote remote) {
    const auto item = co_await lookUp(session, remote);
    co_return item && !item->isDirectory ? static_cast<std::uint64_t>(item->size) : 0;
}

}  // namespace

QCoro::Task<StagedSizes> checkStagedRoom(Session& session, QString command,
                                         std::vector<Remote> remotes, QStringList values) {
    StagedSizes sizes;
    if (command == QLatin1String("put")) {
        // The overlay takes every byte uploaded: refused before anything is sent.
        if (const QString disk = session.stagedDisk(remotes[1].partition); !disk.isEmpty())
            session.devices().checkStagingRoom(disk, localBytes(values[0]));
    } else if (command == QLatin1String("rm")) {
        for (const Remote& remote : remotes) {
            if (session.stagedDisk(remote.partition).isEmpty())
                continue;
            const std::uint64_t bytes = co_await remoteBytes(session, remote);
            sizes.insert(remote.path, bytes);
        }
    } else if (command == QLatin1String("cp")) {
        const QString disk = session.stagedDisk(remotes[1].partition);
        if (!disk.isEmpty()) {
            const std::uint64_t bytes = co_await remoteBytes(session, remotes[0]);
            session.devices().checkStagingRoom(disk, bytes);
            sizes.insert(remotes[0].path, bytes);
        }
    }
    co_return sizes;
}

void recordStagedChanges(Session& session, StagedSizes sizes) {
    QPointer<DeviceListViewModel> devices(&session.devices());
    session.service().recordDone([devices, sizes](const fileops::Change& change) {
        if (!devices || !change.partition)
            return;
        // A copy names its source as "partition:/path".
        const QString path = change.path.startsWith(QLatin1Char('/'))
                                 ? change.path
                                 : change.path.section(QLatin1Char(':'), 1);
        devices->stagedChange(change, *change.partition, sizes.value(path));
    });
}

void reportStaged(Session& session, const QString& disk, const QString& source) {
    const auto record = session.devices().stagedRecord(disk);
    if (!record)
        return;
    const QString path = session.devices().stagedRecordPath(disk);
    std::fprintf(stderr,
                 "Staged: %lld change(s) pending in %s (the card is unchanged); apply with: "
                 "quorvale-cli --session %s apply %s\n",
                 static_cast<long long>(record->operations.size()), qUtf8Printable(path),
                 qUtf8Printable(path), qUtf8Printable(source));
}

QCoro::Task<void> applyCommand(Session& session, QString partition) {
    const QString disk = session.stagedDisk(partition);
    if (disk.isEmpty())
        throw CliError("no staged changes for " + partition.toStdString());
    const auto record = session.devices().stagedRecord(disk);
    for (const StagedOperation& operation : record->operations)
        print(QStringLiteral("Applying: ") + operation.description());
    std::uint64_t shownPercent = 101;
    auto applying =
        session.devices().applyStagedChanges(disk, [&shownPercent](quint64 done, quint64 total) {
            const std::uint64_t percent = total == 0 ? 100 : done * 100 / total;
            if (percent == shownPercent)
                return;
            shownPercent = percent;
            std::fprintf(stderr, "Writing to the card: %llu%% (%s of %s)\n",
                         static_cast<unsigned long long>(percent), qUtf8Printable(bytesText(done)),
                         qUtf8Printable(bytesText(total)));
        });
    const CheckReport report = co_await std::move(applying);
    print(QStringLiteral("Applied to the card."));
    for (const QString& finding : report.findings)
        print(finding);
    print(report.message);
    session.exitStatus = report.exitStatus();
}

void discardRecord(const QString& recordPath) {
    const StagedRecord record = StagedStore::load(recordPath);
    for (const StagedOperation& operation : record.operations)
        print(QStringLiteral("Discarded: ") + operation.description());
    StagedStore::discard(recordPath);
}

QCoro::Task<void> discardCommand(Session& session, SourceSpec source) {
    if (!session.sessionFile.isEmpty()) {
        discardRecord(session.sessionFile);
        co_return;
    }
    // The card's pending changes in the cache directory, found by its filesystem.
    const model::Partition partition = co_await session.locate(source);
    const disk::PartitionHealth health = session.health(partition);
    if (!health.superblock)
        throw CliError("cannot read the filesystem of " + source.source.toStdString() + ": " +
                       health.problem.toStdString());
    CardIdentity card;
    card.uuid = QString::fromStdString(health.superblock->uuidText());
    const QString directory = StagedStore::defaultDirectory();
    QStringList found;
    for (const QFileInfo& entry :
         QDir(directory).entryInfoList({QStringLiteral("*.json")}, QDir::Files)) {
        try {
            const StagedRecord record = StagedStore::load(entry.filePath());
            // A copy of the card (same filesystem) of another size keeps its changes.
            if (record.card.uuid == card.uuid &&
                static_cast<std::uint64_t>(record.card.size) == session.device().size)
                found << entry.filePath();
        } catch (const StagedError&) {
        }
    }
    if (found.isEmpty())
        throw CliError("no staged changes for " + source.source.toStdString());
    for (const QString& path : found)
        discardRecord(path);
}

}  // namespace quorvale::app::cli
