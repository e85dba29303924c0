#pragma once
// GuestPartitions: the VM's provider. The host's partition name (sdb2, mmcblk0p1, image0p2)
// selects /dev/vdaN by its partition number (no number: /dev/vda itself). A partition is
// mounted on first use under /mnt/vdaN, without device files, set-id or exec; when the block
// device is read-only it is mounted "ro" with "noload", so not even a journal replay writes.
// A call without a name acts on the last partition used, or else the first one that mounts.

#include <map>
#include <mutex>

#include "agent/partition.h"

namespace quorvale::agent {

struct GuestLayout {
    std::string disk = "vda";
    std::string devDir = "/dev";
    std::string sysBlockDir = "/sys/block";
    std::string mountDir = "/mnt";
};

// "/dev/vda2" for "sdb2" on disk "vda"; nothing when `hostName` is not a device name.
std::optional<std::string> guestDeviceFor(std::string_view hostName, const GuestLayout& layout);

// mount(2) flags and data for a partition.
struct MountOptions {
    unsigned long flags;
    std::string data;
};
MountOptions mountOptions(bool readOnly);

class GuestPartitions : public PartitionProvider {
public:
    explicit GuestPartitions(GuestLayout layout = {}) : layout_(std::move(layout)) {}

    std::shared_ptr<Partition> select(std::optional<std::string_view> name) override;
    boost::json::array describe() override;
    void sync() override;
    void unmountAll() override;

private:
    struct Mounted {
        std::shared_ptr<Partition> partition;
        std::string mountPoint;
        std::string filesystem;
        std::string label;
        bool readOnly = false;
    };

    Mounted& mount(const std::string& device, const std::string& hostName);
    // Partition devices of the disk in number order, then the whole disk.
    std::vector<std::string> candidates() const;

    GuestLayout layout_;
    std::mutex mutex_;
    std::map<std::string, Mounted> mounted_;  // by device path
    std::string current_;                     // device path of the current partition
};

}  // namespace quorvale::agent
