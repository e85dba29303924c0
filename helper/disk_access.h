#pragma once
// Decides whether a disk may be handed out and opens or ejects it. Only a whole disk that sysfs
// lists, that is removable or sits on the usb or mmc bus, and that has no partition mounted on
// the host (nor held by another driver) passes. The node under the /dev root is opened without
// following symlinks and with O_EXCL, then fstat must show the very block device sysfs
// describes. Every failure is a Refusal; nothing stays open after one.

#include <sys/types.h>

#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "rpc/unique_fd.h"

namespace quorvale::helper {

struct DiskAccessConfig {
    std::filesystem::path sysRoot = "/sys";
    std::filesystem::path devRoot = "/dev";
    std::filesystem::path mountInfo = "/proc/self/mountinfo";
    // Test-only: a regular image file under the /dev root may stand for the disk.
    bool allowRegularFiles = false;
};

enum class OpenMode { readOnly, readWrite };

class DiskAccess {
public:
    explicit DiskAccess(DiskAccessConfig config) : config_(std::move(config)) {}

    // Throws Refusal.
    UniqueFd open(const std::string& name, OpenMode mode) const;
    // Flushes the disk, then ejects it or powers it off. Throws Refusal.
    void eject(const std::string& name) const;

private:
    struct Disk {
        std::string name;
        std::filesystem::path sysDir;  // <sys>/class/block/<name>
        dev_t dev = 0;
        bool readOnlyMedia = false;
    };

    Disk checkedDisk(const std::string& name) const;
    std::filesystem::path busAncestor(const std::filesystem::path& start,
                                      std::initializer_list<const char*> buses,
                                      const char* file = nullptr) const;
    void refuseIfBusy(const Disk& disk) const;
    UniqueFd openNode(const Disk& disk, int flags) const;

    DiskAccessConfig config_;
};

// Devices (major:minor) of mounted filesystems listed in a mountinfo file.
std::vector<dev_t> mountedDevices(const std::filesystem::path& mountInfo);

}  // namespace quorvale::helper
