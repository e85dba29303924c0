#include "app/health/health_card.h"

#include <QDateTime>
#include <QStringList>

#include "model/display_format.h"

namespace quorvale::app {

namespace {

using Level = HealthCard::Level;

QString joined(const std::vector<std::string>& names) {
    QStringList list;
    for (const std::string& name : names)
        list.append(QString::fromStdString(name));
    return list.isEmpty() ? QStringLiteral("none") : list.join(QLatin1Char(' '));
}

QString errorText(const rpc::ExtErrorRecord& record) {
    QString text = healthTimeText(record.time);
    if (!record.function.empty()) {
        text += QStringLiteral(" in %1").arg(QString::fromStdString(record.function));
        if (record.line != 0)
            text += QStringLiteral(":%1").arg(record.line);
    }
    if (record.inode != 0)
        text += QStringLiteral(", inode %1").arg(record.inode);
    if (record.block != 0)
        text += QStringLiteral(", block %1").arg(record.block);
    return text;
}

}  // namespace

QString healthTimeText(std::uint64_t seconds) {
    if (seconds == 0)
        return QStringLiteral("never");
    return QDateTime::fromSecsSinceEpoch(static_cast<qint64>(seconds), Qt::UTC)
               .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) +
           QStringLiteral(" UTC");
}

QString HealthCard::text() const {
    QString out = QStringLiteral("Health: ") + summary + QLatin1Char('\n');
    for (const Row& row : rows)
        out += row.field + QStringLiteral(": ") + row.value + QLatin1Char('\n');
    return out;
}

HealthCard makeHealthCard(const disk::PartitionHealth& health) {
    HealthCard card;
    card.writeProtected = health.writeProtected;
    // Findings in the order of their weight; the first sets the summary.
    QList<std::pair<Level, QString>> findings;
    const auto add = [&](QString field, QString value, Level level = Level::good) {
        card.rows.append({std::move(field), std::move(value), level});
    };
    if (!health.superblock) {
        card.summary = QStringLiteral("Unreadable: ") + health.problem;
        card.level = Level::danger;
        add(QStringLiteral("Write-protected"),
            health.writeProtected ? QStringLiteral("yes") : QStringLiteral("no"),
            health.writeProtected ? Level::notice : Level::good);
        return card;
    }
    card.uuid = QString::fromStdString(health.superblock->uuidText());
    const rpc::ExtSuperblock& sb = *health.superblock;
    card.readable = true;
    card.cannotOpen = sb.cannotMount();
    card.readOnlyOnly = sb.readOnlyOnly() || health.writeProtected;
    card.needsRecovery = sb.needsRecovery();

    add(QStringLiteral("Label"),
        sb.label.empty() ? QStringLiteral("(none)") : QString::fromStdString(sb.label));
    add(QStringLiteral("UUID"), QString::fromStdString(sb.uuidText()));
    add(QStringLiteral("Filesystem"), QString::fromStdString(sb.filesystem));
    if (sb.blockSize == 0) {
        add(QStringLiteral("Size"), QStringLiteral("unknown: the block size is not valid"),
            Level::danger);
        findings.append({Level::danger, QStringLiteral("Damaged: the block size is not valid")});
    } else {
        add(QStringLiteral("Size"),
            QStringLiteral("%1 (%2 blocks of %3 bytes), %4 free")
                .arg(model::byteCountText(
                    static_cast<qint64>(std::min<std::uint64_t>(sb.sizeBytes(), INT64_MAX))))
                .arg(sb.blockCount)
                .arg(sb.blockSize)
                .arg(model::byteCountText(static_cast<qint64>(
                    std::min<std::uint64_t>(sb.freeBlocks * sb.blockSize, INT64_MAX)))),
            health.largerThanPartition ? Level::danger : Level::good);
    }
    if (health.largerThanPartition)
        findings.append({Level::danger,
                         QStringLiteral("Damaged: the filesystem is larger than its partition")});
    add(QStringLiteral("Created"), healthTimeText(sb.created));
    add(QStringLiteral("Last mounted"),
        healthTimeText(sb.lastMount) +
            (sb.lastMountedOn.empty()
                 ? QString()
                 : QStringLiteral(" on %1").arg(QString::fromStdString(sb.lastMountedOn))));
    add(QStringLiteral("Last written"), healthTimeText(sb.lastWrite));
    add(QStringLiteral("Last checked"), healthTimeText(sb.lastCheck));
    const bool mountLimitReached = sb.maxMountCount > 0 && sb.mountCount >= sb.maxMountCount;
    add(QStringLiteral("Mount count"),
        sb.maxMountCount > 0 ? QStringLiteral("%1 of %2").arg(sb.mountCount).arg(sb.maxMountCount)
                             : QStringLiteral("%1 (no limit)").arg(sb.mountCount),
        mountLimitReached ? Level::notice : Level::good);
    if (mountLimitReached)
        findings.append({Level::notice, QStringLiteral("A check is due: mount count reached")});

    add(QStringLiteral("Errors recorded"), QString::number(sb.errorCount),
        sb.errorsRecorded() ? Level::danger : Level::good);
    if (sb.firstError)
        add(QStringLiteral("First error"), errorText(*sb.firstError), Level::danger);
    if (sb.lastError)
        add(QStringLiteral("Last error"), errorText(*sb.lastError), Level::danger);
    if (sb.errorsRecorded()) {
        findings.append(
            {Level::danger, sb.errorCount > 0
                                ? QStringLiteral("Errors recorded: %1").arg(sb.errorCount)
                                : QStringLiteral("The kernel marked the filesystem as damaged")});
    }
    if (sb.hasChecksum && !sb.checksumValid)
        findings.append(
            {Level::danger, QStringLiteral("Damaged: the superblock checksum is wrong")});
    add(QStringLiteral("Superblock checksum"),
        !sb.hasChecksum    ? QStringLiteral("none")
        : sb.checksumValid ? QStringLiteral("valid")
                           : QStringLiteral("wrong"),
        sb.hasChecksum && !sb.checksumValid ? Level::danger : Level::good);

    add(QStringLiteral("Journal"),
        !(sb.compat & rpc::extCompatHasJournal) ? QStringLiteral("none")
        : sb.needsRecovery() ? QStringLiteral("needs recovery (not unmounted cleanly)")
                             : QStringLiteral("clean"),
        sb.needsRecovery() ? Level::warning : Level::good);
    if (sb.needsRecovery())
        findings.append(
            {Level::warning, QStringLiteral("Not unmounted cleanly: the journal needs recovery")});
    else if (!sb.cleanlyUnmounted())
        findings.append({Level::warning, QStringLiteral("Not unmounted cleanly")});
    add(QStringLiteral("Orphan inodes"),
        sb.hasOrphans() ? QStringLiteral("present") : QStringLiteral("none"),
        sb.hasOrphans() ? Level::notice : Level::good);

    add(QStringLiteral("Features (compatible)"),
        joined(rpc::extFeatureNames(rpc::ExtFeatureSet::compat, sb.compat)));
    add(QStringLiteral("Features (incompatible)"),
        joined(rpc::extFeatureNames(rpc::ExtFeatureSet::incompat, sb.incompat)));
    add(QStringLiteral("Features (read-only compatible)"),
        joined(rpc::extFeatureNames(rpc::ExtFeatureSet::roCompat, sb.roCompat)));
    if (sb.unsupportedIncompat() != 0) {
        const QString names =
            joined(rpc::extFeatureNames(rpc::ExtFeatureSet::incompat, sb.unsupportedIncompat()));
        add(QStringLiteral("Unsupported features"), names + QStringLiteral(" (cannot be opened)"),
            Level::danger);
        findings.append(
            {Level::danger, QStringLiteral("Cannot be opened: unsupported features ") + names});
    } else if (sb.unsupportedRoCompat() != 0) {
        const QString names =
            joined(rpc::extFeatureNames(rpc::ExtFeatureSet::roCompat, sb.unsupportedRoCompat()));
        add(QStringLiteral("Unsupported features"),
            names + QStringLiteral(" (can only be opened read-only)"), Level::warning);
        findings.append(
            {Level::warning, QStringLiteral("Read-only: unsupported features ") + names});
    } else if (sb.readOnlyOnly()) {
        findings.append(
            {Level::notice, QStringLiteral("Read-only: the filesystem is marked read-only")});
    }
    add(QStringLiteral("Write-protected"),
        health.writeProtected ? QStringLiteral("yes (opens read-only)") : QStringLiteral("no"),
        health.writeProtected ? Level::notice : Level::good);
    if (health.writeProtected)
        findings.append({Level::notice, QStringLiteral("Write-protected: opens read-only")});

    // The weightiest finding, the first of equals.
    card.summary = QStringLiteral("Healthy");
    bool found = false;
    for (const auto& [level, text] : findings) {
        if (!found || level > card.level) {
            card.level = level;
            card.summary = text;
            found = true;
        }
    }
    return card;
}

}  // namespace quorvale::app
