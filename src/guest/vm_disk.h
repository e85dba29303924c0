#pragma once
// A raw disk for the VM: an open descriptor and the host's whole-disk name (sdb, mmcblk0,
// image0), which travels as the virtio block device's serial so that the guest finds the disk
// by identity, never by position. A staged disk also carries a qcow2 overlay: the guest writes
// into the overlay and the disk itself stays the overlay's read-only backing.

#include <QString>

#include "rpc/unique_fd.h"

namespace quorvale::guest {

struct VMDisk {
    QString name;
    UniqueFd fd;
    UniqueFd overlay{};  // open read-write; none for a disk written directly
};

}  // namespace quorvale::guest
