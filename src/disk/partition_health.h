#pragma once
// What can be known about an ext partition before it is mounted: its superblock, read with the
// same care as the identification (fixed offsets, bounded reads, nothing else of the
// filesystem), and whether the disk is write-protected (sysfs "ro"). Only reads; failures are
// reported in `problem`, never thrown. Stateless apart from its paths: safe on any thread.

#include <QString>

#include <cstdint>
#include <optional>

#include "disk/disk_paths.h"
#include "rpc/ext_superblock.h"

namespace quorvale::disk {

struct PartitionHealth {
    std::optional<rpc::ExtSuperblock> superblock;
    QString problem;                   // why there is no superblock; empty when it was read
    bool writeProtected = false;       // the medium refuses writes
    bool largerThanPartition = false;  // the filesystem claims more bytes than the partition has
};

class PartitionHealthReader {
public:
    explicit PartitionHealthReader(DiskPaths paths = {});

    // A partition with its own device node: /dev/<bsdName>, and the sysfs "ro" flag of the
    // partition or its whole disk.
    PartitionHealth read(const QString& bsdName, std::uint64_t partitionSize = 0) const;
    // True when sysfs marks the named partition or its whole disk read-only.
    bool isWriteProtected(const QString& bsdName) const;

    // The superblock of the partition starting at `offset` of the open disk or image `fd`
    // (not closed); `partitionSize` (0: unknown) bounds the read. `path` names it in logs.
    static PartitionHealth readAt(int fd, std::uint64_t offset, std::uint64_t partitionSize,
                                  const QString& path);

private:
    DiskPaths paths;
};

}  // namespace quorvale::disk
