#pragma once
// HealthCard: a partition's health as people read it, made from what the superblock and sysfs
// say before mounting. The same rows feed the sidebar's detail and `quorvale-cli info`. The
// card also says how the partition may be opened: not at all (features the guest kernel does
// not know), read-only only (read-only-compatible features it does not know, or a
// write-protected medium), or after a choice about a journal that needs recovery.

#include <QList>
#include <QString>

#include "disk/partition_health.h"

namespace quorvale::app {

struct HealthCard {
    enum class Level { good, notice, warning, danger };
    struct Row {
        QString field;
        QString value;
        Level level = Level::good;
    };

    QString summary;  // one line: "Healthy", or the most serious finding
    Level level = Level::good;
    QList<Row> rows;
    bool readable = false;       // a superblock was read
    bool cannotOpen = false;     // the guest kernel refuses the filesystem
    bool readOnlyOnly = false;   // only a read-only mount is possible
    bool needsRecovery = false;  // the journal must be replayed (or skipped) to mount
    bool writeProtected = false;
    QString uuid;  // the filesystem UUID; empty when unreadable

    // "Field: value" lines.
    QString text() const;
};

HealthCard makeHealthCard(const disk::PartitionHealth& health);
// Seconds since the epoch as "2024-05-01 12:00:00 UTC"; 0 is "never".
QString healthTimeText(std::uint64_t seconds);

}  // namespace quorvale::app
