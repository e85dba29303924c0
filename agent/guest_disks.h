#pragma once
// The disks the VM holds, known by identity: the host attaches every disk with its own
// whole-disk name (sdb, mmcblk0, image0) as the virtio serial, and this is the only way a host
// name reaches a guest device. Guest names (vda, vdb, ...) say nothing: a disk plugged in later
// takes whatever name is free, and a removed disk's name may come back on another card.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvale::agent {

struct GuestDisk {
    std::string hostName;   // its serial: the host's whole-disk name
    std::string guestName;  // vda, vdb, ...
    // The kernel's sequence number of this disk instance ("diskseq"; empty where the kernel has
    // none): a disk plugged in again gets a new one, even under the same guest name.
    std::string sequence;
};

// Every block device under `sysBlockDir` whose serial is a whole-disk name, by guest name.
std::vector<GuestDisk> listGuestDisks(const std::string& sysBlockDir);

// The partitions of the guest disk `guestName` as (number, guest name), by number.
std::vector<std::pair<unsigned, std::string>> listGuestPartitions(const std::string& sysBlockDir,
                                                                  const std::string& guestName);

// Where a host name lives in the guest: the device path ("/dev/vdb2") and its disk.
struct GuestDevice {
    std::string device;
    GuestDisk disk;
};

// Maps the host partition or whole-disk name `hostName` to its guest device. Throws AgentError:
// invalid params for a malformed name, ENODEV when no disk carries its whole disk's name, EIO
// when more than one does, ENXIO when the disk has no such partition.
GuestDevice resolveGuestDevice(std::string_view hostName, const std::string& sysBlockDir,
                               const std::string& devDir);

}  // namespace quorvale::agent
