#pragma once
// A raw disk for the VM: an open descriptor and the host's whole-disk name (sdb, mmcblk0,
// image0), which travels as the virtio block device's serial so that the guest finds the disk
// by identity, never by position.

#include <QString>

#include "rpc/unique_fd.h"

namespace quorvale::guest {

struct VMDisk {
    QString name;
    UniqueFd fd;
};

}  // namespace quorvale::guest
