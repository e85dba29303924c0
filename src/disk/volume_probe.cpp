#include "disk/volume_probe.h"

#include <blkid/blkid.h>

#include <memory>

namespace quorvale::disk {

namespace {

struct ProbeDeleter {
    void operator()(blkid_probe probe) const { blkid_free_probe(probe); }
};
using ProbePtr = std::unique_ptr<std::remove_pointer_t<blkid_probe>, ProbeDeleter>;

std::optional<QByteArray> lookup(blkid_probe probe, const char* name) {
    const char* data = nullptr;
    size_t length = 0;
    if (blkid_probe_lookup_value(probe, name, &data, &length) != 0 || !data)
        return std::nullopt;
    // blkid counts the terminating NUL in length.
    while (length > 0 && data[length - 1] == '\0')
        --length;
    return QByteArray(data, static_cast<qsizetype>(length));
}

std::optional<QString> lookupText(blkid_probe probe, const char* name) {
    const auto value = lookup(probe, name);
    if (!value)
        return std::nullopt;
    return QString::fromUtf8(*value);
}

}  // namespace

VolumeProbe VolumeProbe::probe(int fd, std::uint64_t offset, std::uint64_t size,
                               bool partitionEntry) {
    VolumeProbe result;
    ProbePtr probe(blkid_new_probe());
    if (!probe || blkid_probe_set_device(probe.get(), fd, static_cast<blkid_loff_t>(offset),
                                         static_cast<blkid_loff_t>(size)) != 0) {
        return result;
    }
    blkid_probe_enable_superblocks(probe.get(), 1);
    blkid_probe_set_superblocks_flags(probe.get(), BLKID_SUBLKS_TYPE | BLKID_SUBLKS_LABEL);
    blkid_probe_enable_partitions(probe.get(), partitionEntry ? 1 : 0);
    if (partitionEntry)
        blkid_probe_set_partitions_flags(probe.get(), BLKID_PARTS_ENTRY_DETAILS);
    if (blkid_do_safeprobe(probe.get()) != 0)
        return result;
    result.type = lookupText(probe.get(), "TYPE");
    if (const auto raw = lookup(probe.get(), "LABEL")) {
        const QString label = cleanLabel(*raw);
        if (!label.isEmpty())
            result.label = label;
    }
    result.partitionScheme = lookupText(probe.get(), "PART_ENTRY_SCHEME");
    result.partitionType = lookupText(probe.get(), "PART_ENTRY_TYPE");
    return result;
}

std::optional<std::vector<PartitionEntry>> readPartitionTable(int fd, std::uint64_t diskSize) {
    ProbePtr probe(blkid_new_probe());
    if (!probe ||
        blkid_probe_set_device(probe.get(), fd, 0, static_cast<blkid_loff_t>(diskSize)) != 0)
        return std::nullopt;
    blkid_probe_enable_superblocks(probe.get(), 0);
    blkid_probe_enable_partitions(probe.get(), 1);
    blkid_probe_set_partitions_flags(probe.get(), BLKID_PARTS_ENTRY_DETAILS);
    blkid_partlist list = blkid_probe_get_partitions(probe.get());
    if (!list)
        return std::nullopt;
    QString scheme;
    if (blkid_parttable table = blkid_partlist_get_table(list)) {
        if (const char* type = blkid_parttable_get_type(table))
            scheme = QString::fromLatin1(type);
    }
    std::vector<PartitionEntry> entries;
    const int count = blkid_partlist_numof_partitions(list);
    for (int i = 0; i < count && entries.size() < kMaxPartitions; ++i) {
        blkid_partition partition = blkid_partlist_get_partition(list, i);
        if (!partition || blkid_partition_is_extended(partition))
            continue;
        const blkid_loff_t startSector = blkid_partition_get_start(partition);
        const blkid_loff_t sectors = blkid_partition_get_size(partition);
        const int number = blkid_partition_get_partno(partition);
        if (startSector < 0 || sectors <= 0 || number <= 0)
            continue;
        // Sector counts come from the image: guard the multiplication.
        if (static_cast<std::uint64_t>(startSector) >= diskSize / 512)
            continue;
        PartitionEntry entry;
        entry.number = static_cast<unsigned>(number);
        entry.start = static_cast<std::uint64_t>(startSector) * 512;
        const std::uint64_t room = diskSize - entry.start;
        entry.size = static_cast<std::uint64_t>(sectors) > room / 512
                         ? room
                         : static_cast<std::uint64_t>(sectors) * 512;
        entry.scheme = scheme;
        if (const char* guid = blkid_partition_get_type_string(partition))
            entry.type = QString::fromLatin1(guid).toLower();
        else
            entry.type = QStringLiteral("0x%1").arg(blkid_partition_get_type(partition), 0, 16);
        entries.push_back(entry);
    }
    return entries;
}

QString volumeTypeFromBlkid(const QString& type) {
    if (type == QLatin1String("vfat"))
        return QStringLiteral("msdos");
    if (type == QLatin1String("hfsplus"))
        return QStringLiteral("hfs");
    return type;
}

QString mediaContentFromPartitionType(const QString& scheme, const QString& type) {
    const QString lower = type.toLower();
    if (scheme == QLatin1String("gpt")) {
        if (lower == QLatin1String("0fc63daf-8483-4772-8e79-3d69d8477de4"))
            return QStringLiteral("Linux");
        if (lower == QLatin1String("ebd0a0a2-b9e5-4433-87c0-68b6b72699c7"))
            return QStringLiteral("Microsoft Basic Data");
        if (lower == QLatin1String("c12a7328-f81f-11d2-ba4b-00a0c93ec93b"))
            return QStringLiteral("EFI");
        return lower;
    }
    bool ok = false;
    const unsigned code = lower.startsWith(QLatin1String("0x")) ? lower.mid(2).toUInt(&ok, 16) : 0;
    if (!ok)
        return type;
    switch (code) {
        case 0x83:
            return QStringLiteral("Linux");
        case 0x01:
            return QStringLiteral("DOS_FAT_12");
        case 0x04:
        case 0x06:
        case 0x0e:
            return QStringLiteral("DOS_FAT_16");
        case 0x0b:
        case 0x0c:
            return QStringLiteral("DOS_FAT_32");
        case 0x07:
            return QStringLiteral("Windows_NTFS");
        default:
            return type;
    }
}

QString cleanLabel(const QByteArray& raw) {
    const QString decoded = QString::fromUtf8(raw);
    QString clean;
    clean.reserve(decoded.size());
    for (const QChar c : decoded) {
        if (c.category() == QChar::Other_Control)
            continue;
        clean.append(c);
    }
    return clean.left(255).trimmed();
}

}  // namespace quorvale::disk
