#pragma once
// Linux block-device names, the one place that knows their forms:
//   whole disks  sdb, vdb, hda, xvda, mmcblk0, nvme0n1, loop0, image0
//   partitions   sdb1, vdb2, mmcblk0p1, nvme0n1p2, loop0p1, image0p1
// Anything else ("/dev/sdb", "sdb/..", "", "sd") is not a device name.

#include <optional>
#include <string>
#include <string_view>

namespace quorvale::rpc {

// True for a whole-disk or partition name of the forms above.
bool isDeviceName(std::string_view name);
// True for a whole-disk name.
bool isWholeDiskName(std::string_view name);
// The whole disk of a partition name, or the name itself for a whole disk; nothing if invalid.
std::optional<std::string> wholeDiskName(std::string_view name);
// Partition number of a partition name; nothing for a whole disk or an invalid name.
std::optional<unsigned> partitionNumber(std::string_view name);
// The name of partition `number` of a whole disk (sdb + 2 gives sdb2, mmcblk0 + 1 gives
// mmcblk0p1); nothing when `wholeDisk` is not a whole-disk name or the number is out of range.
std::optional<std::string> partitionName(std::string_view wholeDisk, unsigned number);

}  // namespace quorvale::rpc
