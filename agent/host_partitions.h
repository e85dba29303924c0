#pragma once
// HostPartitions: the host program's provider. One directory is served as one mounted
// partition whatever name the host passes; unmount only flushes it.

#include "agent/partition.h"

namespace quorvale::agent {

class HostPartitions : public PartitionProvider {
public:
    // `device` (may be empty) is an image file standing for the partition's block device.
    HostPartitions(const std::string& directory, std::string name, std::string label,
                   std::string device = {});

    std::shared_ptr<Partition> select(std::optional<std::string_view> name) override;
    boost::json::array describe() override;
    void sync() override;
    void unmountAll() override;
    void syncDisk(std::string_view disk) override;
    void unmountDisk(std::string_view disk) override;
    boost::json::object mount(std::optional<std::string_view> name, MountRequest request) override;
    std::string unmountedDevice(std::string_view name) override;

private:
    std::shared_ptr<Partition> partition_;
    std::string label_;
    std::string device_;
};

// Size and usage of the filesystem holding `fd` as one "get_partitions" element.
boost::json::object describeFilesystem(int fd, std::string_view name, std::string_view label,
                                       std::string_view filesystem);
// Filesystem name for a statfs f_type ("ext4", "tmpfs", ...; "unknown" otherwise).
std::string filesystemName(long type);

}  // namespace quorvale::agent
