#pragma once
// Decides whether a disk may be handed out or ejected and does it. Only a whole disk that sysfs
// lists, that is removable or sits on the usb or mmc bus, and that nothing uses passes: neither
// the disk nor any partition may be mounted here, used as swap or held by another driver
// (device-mapper, md), and the exclusive open (O_EXCL) must succeed, which the kernel refuses
// while anything claims the disk: a mount in any namespace, swap, dm, md, or another exclusive
// opener such as a VM given the disk. The node under the /dev root is opened without following
// symlinks, then fstat must show the very block device sysfs describes. Every failure is a
// Refusal naming the disk or partition in use; nothing stays open after one.

#include <sys/types.h>

#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "helper/disk_claims.h"
#include "rpc/unique_fd.h"

namespace quorvale::helper {

struct DiskAccessConfig {
    std::filesystem::path sysRoot = "/sys";
    std::filesystem::path devRoot = "/dev";
    std::filesystem::path mountInfo = "/proc/self/mountinfo";
    std::filesystem::path swaps = "/proc/swaps";
    // Test-only: a regular image file under the /dev root may stand for the disk.
    bool allowRegularFiles = false;
};

enum class OpenMode { readOnly, readWrite };

class DiskAccess {
public:
    explicit DiskAccess(DiskAccessConfig config) : config_(std::move(config)) {}

    // Throws Refusal.
    UniqueFd open(const std::string& name, OpenMode mode) const;
    // A writable descriptor on a disk that the caller holds through `claim` (a VM given the
    // card read-only, which must now write it), opened without O_EXCL beside that claim. Besides
    // every check of open(), the claim must still stand for the disk under its name, with the
    // medium it was handed out on. Throws Refusal.
    UniqueFd openHeld(const HandedDisk& claim) const;
    // Holding the disk exclusively, flushes it and detaches it; the USB device it hangs from is
    // powered off only when no other disk (another slot of a card reader) hangs from it too.
    // Throws Refusal.
    void eject(const std::string& name) const;

private:
    struct Node {
        std::string name;
        std::filesystem::path sysDir;  // <sys>/class/block/<name>
        dev_t dev = 0;
    };
    struct Disk : Node {
        bool readOnlyMedia = false;
        std::vector<Node> partitions;
    };

    Disk checkedDisk(const std::string& name) const;
    std::filesystem::path busAncestor(const std::filesystem::path& start,
                                      std::initializer_list<const char*> buses,
                                      const char* file = nullptr) const;
    void refuseIfBusy(const Disk& disk) const;
    UniqueFd openNode(const Disk& disk, int flags) const;
    std::string claimedPart(const Disk& disk) const;
    bool othersOnUsbDevice(const Disk& disk, const std::filesystem::path& usbDevice) const;

    DiskAccessConfig config_;
};

// Devices (major:minor) of mounted filesystems listed in a mountinfo file.
std::vector<dev_t> mountedDevices(const std::filesystem::path& mountInfo);

// The areas listed in a swaps table (/proc/swaps): the file name as the kernel shows it, and
// the device when that name is a block device node.
struct SwapArea {
    std::filesystem::path path;
    dev_t dev = 0;  // 0: not a block device node
};
std::vector<SwapArea> swapAreas(const std::filesystem::path& swaps);

}  // namespace quorvale::helper
