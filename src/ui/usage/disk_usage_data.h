#pragma once
// Plain data of the disk-usage sheet and how it is read from the guest's dictionaries: the
// partition record of "get_partitions" ("total_bytes", "free_bytes") and the root entries of
// "dir_usage" ("name", "size", "allocated", "is_directory"). Values of the wrong type count as
// absent. An entry's figure is the space it takes on the disk ("allocated"), so that the entries
// add up to no more than the used space; a guest that does not say falls back to "size".

#include <QList>
#include <QString>
#include <QVariant>

#include <optional>

namespace quorvale::ui {

struct DiskUsageEntry {
    QString name;  // readable, for showing
    QString path;  // as the guest names it, for opening
    qint64 size = 0;
    std::optional<quint64> allocated;
    bool isDirectory = false;
    // The space taken on the disk: "allocated", else "size".
    quint64 bytes() const { return allocated.value_or(static_cast<quint64>(size)); }
    // "folder.fill" for a directory, else the file symbol of the name's extension.
    QString symbol() const;

    // "name" must be a string, "size" a number (truncated, negative counts as 0) and
    // "is_directory" a boolean; anything else reads as "", 0 and false.
    static DiskUsageEntry fromDictionary(const QVariantMap& dictionary);
};

struct DiskUsageData {
    QString partitionName;
    quint64 totalBytes = 0;
    quint64 freeBytes = 0;
    QList<DiskUsageEntry> children;

    // Total minus free, 0 when free exceeds total.
    quint64 usedBytes() const;
    // Used over total, 0 when total is 0.
    double usedFraction() const;

    // A non-negative integral number stored under `key`; 0 when missing, negative, fractional
    // beyond the integer range, or not a number.
    static quint64 unsignedField(const QVariantMap& dictionary, const QString& key);
    // The sheet's data from the partition record and the root entries, largest first.
    static DiskUsageData fromGuest(const QString& partitionName, const QVariantMap& partition,
                                   const QVariantList& rootEntries);
};

// The file-style byte count of an unsigned size (sizes beyond the signed range show as its
// largest value).
QString byteCountText(quint64 bytes);

}  // namespace quorvale::ui
