#pragma once
// GuestPartitions: the VM's provider. The host's partition name (sdb2, mmcblk0p1, image0p2)
// selects the partition of that number on the guest disk whose serial is the name's whole disk
// (guest_disks.h); a name whose disk the VM does not hold is refused, never served from another
// disk. A disk being plugged in may take a moment to appear with its partitions: a name is
// refused only after `diskWait`. A partition is mounted on first use under /mnt/<host name>,
// without device files, set-id or exec; when the block device is read-only, the host asks for it,
// or the kernel knows the filesystem only read-only, it is mounted "ro" with "noload", so not even
// a journal replay writes. A journal that needs recovery is replayed only when the host asks for
// that; otherwise the mount is refused (EUCLEAN) until the host chooses. A mount serves only while
// its device still carries
// the same disk: one left behind by a removed disk is detached, not reused for the disk that took
// its guest name. A call without a name acts on the last partition used, or else the first one that
// mounts.

#include <chrono>
#include <map>
#include <mutex>

#include "agent/guest_disks.h"
#include "agent/leftover_sweep.h"
#include "agent/partition.h"

namespace quorvale::agent {

struct GuestLayout {
    std::string devDir = "/dev";
    std::string sysBlockDir = "/sys/block";
    std::string mountDir = "/mnt";
    std::chrono::milliseconds diskWait = std::chrono::seconds(5);
};

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
    void syncDisk(std::string_view disk) override;
    void unmountDisk(std::string_view disk) override;
    std::vector<dev_t> devicesOn(std::string_view disk) override;
    boost::json::object mount(std::optional<std::string_view> name, MountRequest request) override;
    std::string unmountedDevice(std::string_view name) override;

private:
    struct Mounted {
        std::shared_ptr<Partition> partition;
        std::string device;
        std::string diskSequence;
        std::string mountPoint;
        std::string filesystem;
        std::string label;
        bool readOnly = false;
        std::shared_ptr<LeftoverSweep> sweep;  // read-write partitions; ends before unmounting
    };

    // Resolves `hostName`, waiting up to diskWait for its disk and partition to appear.
    GuestDevice resolve(std::string_view hostName) const;
    // The mounted entry for `hostName` if its device still belongs to its disk; a stale one is
    // detached and forgotten. Called with the mutex held.
    std::shared_ptr<Partition> stillMounted(const std::string& hostName);
    Mounted& mount(const GuestDevice& device, const std::string& hostName,
                   MountRequest request = {});
    boost::json::object describe(const Mounted& m) const;
    std::shared_ptr<Partition> selectAny();
    static void detach(const std::string& hostName, const Mounted& entry);
    void syncSome(std::optional<std::string_view> disk);
    void unmountSome(std::optional<std::string_view> disk);

    GuestLayout layout_;
    std::mutex mutex_;
    std::map<std::string, Mounted> mounted_;  // by host partition name
    std::string current_;                     // host name of the current partition
};

}  // namespace quorvale::agent
