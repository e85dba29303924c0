#pragma once
// What libblkid reads from a volume or a partition table, turned into the values disk
// descriptions carry. Every read is bounded by the range given; labels are cleaned of control
// characters and invalid UTF-8 before anyone sees them.

#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace quorvale::disk {

struct VolumeProbe {
    std::optional<QString> type;             // blkid TYPE ("ext4", "vfat", ...)
    std::optional<QString> label;            // cleaned LABEL
    std::optional<QString> partitionScheme;  // PART_ENTRY_SCHEME ("dos", "gpt")
    std::optional<QString> partitionType;    // PART_ENTRY_TYPE ("0x83", a GPT type GUID)

    // Probes `size` bytes (0: to the end) from `offset` of fd. With partitionEntry, also
    // reads the entry describing this partition from its parent disk's table.
    static VolumeProbe probe(int fd, std::uint64_t offset, std::uint64_t size, bool partitionEntry);
};

struct PartitionEntry {
    unsigned number = 0;      // 1-based, as the kernel would number it
    std::uint64_t start = 0;  // bytes from the start of the disk
    std::uint64_t size = 0;   // bytes
    QString scheme;           // "dos" or "gpt"
    QString type;             // "0x83" or a GPT type GUID
};

// Upper bound on the partitions read from one table.
inline constexpr unsigned kMaxPartitions = 128;

// The partitions of the table on fd (a disk of diskSize bytes): nothing when there is no
// table. Extended containers are left out; entries starting past the end are dropped and
// entries running past it are cut at the end; at most kMaxPartitions are returned.
std::optional<std::vector<PartitionEntry>> readPartitionTable(int fd, std::uint64_t diskSize);

// blkid type -> the volume type the classification knows ("vfat" -> "msdos", "hfsplus" -> "hfs").
QString volumeTypeFromBlkid(const QString& type);
// Partition type -> media content ("Linux", "DOS_FAT_32", ...), or the type itself.
QString mediaContentFromPartitionType(const QString& scheme, const QString& type);
// Label text: invalid UTF-8 replaced, control characters dropped, at most 255 characters.
QString cleanLabel(const QByteArray& raw);

}  // namespace quorvale::disk
