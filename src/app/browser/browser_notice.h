#pragma once
// What the browser shows in place of a listing, and why: a partition Quorvale cannot open
// ("BOOT is FAT32. Quorvale opens ext2, ext3 and ext4."), or a VM that is not running while
// nothing boots it (stopped, or stopped with an error), which offers Retry. Nothing while the
// VM boots or runs. Also the noun for the medium a partition is on: "disk" for disk-image
// files, "SD card" otherwise.

#include <QString>

#include <optional>

#include "guest/vm_status.h"
#include "model/partition.h"

namespace quorvale::app {

struct BrowserNotice {
    enum class Kind { unsupported, vmStopped };

    Kind kind = Kind::unsupported;
    QString symbol;
    QString title;
    QString message;
    bool offersRetry = false;
};

std::optional<BrowserNotice> browserNotice(const std::optional<model::Partition>& partition,
                                           const guest::VMStatus& vmStatus, bool isBootingVM);

// "disk" for a partition of a disk-image file (image0p1), else "SD card".
QString mediumNoun(const std::optional<model::Partition>& partition);

}  // namespace quorvale::app
