#pragma once
// What the guest kernel offers the agent, for the console log: each driver the VM relies on with
// the number of devices bound to it ("-" when the kernel has no such driver), and the ext
// filesystem types it mounts. A missing driver is then visible in the log of the first boot.

#include <string>

namespace quorvale::agent {

// "devices: virtio_console=1 ... button=1; filesystems: ext2 ext3 ext4", read below `sysDir`
// (/sys) and from `filesystemsFile` (/proc/filesystems).
std::string describeGuestDevices(const std::string& sysDir = "/sys",
                                 const std::string& filesystemsFile = "/proc/filesystems");

}  // namespace quorvale::agent
