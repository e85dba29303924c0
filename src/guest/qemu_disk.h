#pragma once
// What QEMU is told of a disk for the VM, checked before it is handed over: a whole-disk name, a
// regular file or block device, its access mode, and for a staged disk a writable overlay file
// over a disk handed over read-only.

#include <cstdint>

#include "guest/qemu_command.h"
#include "guest/vm_disk.h"

namespace quorvale::guest {

// Throws VMError(diskAttachmentFailed) for a name or descriptor QEMU cannot use.
QemuConfig::Disk describeDisk(const VMDisk& disk);
// The disk's size as the VM is given it; throws VMError(diskAttachmentFailed).
std::uint64_t sizeAtHandOver(const VMDisk& disk);

}  // namespace quorvale::guest
