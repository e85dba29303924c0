#pragma once
// The disks a VM was given, each with a descriptor of the host's own and its size at the
// hand-over. A card pulled from its reader leaves a device of 0 bytes (one swapped for another
// changes size too), and QEMU answers reads past a device's end with zeros, not errors: the
// guest then lists and reads garbage as if it were the card. The host compares sizes before it
// hands on what the guest read; a check costs one ioctl (or fstat) per disk.

#include <QString>

#include <cstdint>
#include <map>
#include <optional>

#include "rpc/unique_fd.h"

namespace quorvale::guest {

// The size of a block device (BLKGETSIZE64) or of a regular file; nothing when it cannot be read.
std::optional<std::uint64_t> diskSize(int fd);

class HeldDisks {
public:
    // Keeps `fd` under `name` with `size`, its size when the VM was given it.
    void hold(const QString& name, UniqueFd fd, std::uint64_t size);
    void release(const QString& name);
    void clear() { disks.clear(); }
    // Throws VMError(diskRemoved) when the disk of `device` (a whole-disk or partition name;
    // none: every disk) no longer has its size; a disk not held is not checked.
    void check(const std::optional<QString>& device) const;

private:
    struct Held {
        UniqueFd fd;
        std::uint64_t size = 0;
    };
    std::map<QString, Held> disks;
};

}  // namespace quorvale::guest
