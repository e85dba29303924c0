#include "agent/host_partitions.h"

#include <linux/magic.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>

#include "agent/agent_error.h"
#include "agent/leftover_sweep.h"
#include "agent/utf8.h"

namespace quorvale::agent {

HostPartitions::HostPartitions(const std::string& directory, std::string name, std::string label,
                               std::string device)
    : partition_(std::make_shared<Partition>(std::move(name), directory)),
      label_(std::move(label)),
      device_(std::move(device)) {
    // Served from now on as if just mounted: leftovers go before the first call.
    removeLeftoverTemporaries(partition_->root.fd(), "/");
}

std::shared_ptr<Partition> HostPartitions::select(std::optional<std::string_view>) {
    return partition_;
}

boost::json::array HostPartitions::describe() {
    struct statfs fs {};
    const auto type = ::fstatfs(partition_->root.fd(), &fs) == 0 ? fs.f_type : 0;
    boost::json::array list;
    list.push_back(
        describeFilesystem(partition_->root.fd(), partition_->name, label_, filesystemName(type)));
    return list;
}

void HostPartitions::sync() {
    if (::syncfs(partition_->root.fd()) != 0)
        throw AgentError::system(errno, "sync");
}

void HostPartitions::unmountAll() {
    sync();
}

void HostPartitions::syncDisk(std::string_view) {
    sync();
}

void HostPartitions::unmountDisk(std::string_view) {
    sync();
}

boost::json::object HostPartitions::mount(std::optional<std::string_view>, MountRequest) {
    auto list = describe();
    auto o = list.front().as_object();
    o["read_only"] = false;
    return o;
}

std::string HostPartitions::unmountedDevice(std::string_view name) {
    if (device_.empty())
        throw AgentError::systemDetail(ENODEV, "no block device behind " + std::string(name));
    return device_;
}

boost::json::object describeFilesystem(int fd, std::string_view name, std::string_view label,
                                       std::string_view filesystem) {
    struct statvfs vfs {};
    if (::fstatvfs(fd, &vfs) != 0)
        throw AgentError::system(errno, name);
    boost::json::object o;
    o["name"] = validUtf8(name);
    o["total_bytes"] = static_cast<std::int64_t>(vfs.f_blocks * vfs.f_frsize);
    o["free_bytes"] = static_cast<std::int64_t>(vfs.f_bavail * vfs.f_frsize);
    o["filesystem"] = filesystem;
    o["label"] = validUtf8(label);
    return o;
}

std::string filesystemName(long type) {
    switch (type) {
        case EXT4_SUPER_MAGIC:  // also ext2 and ext3
            return "ext4";
        case TMPFS_MAGIC:
            return "tmpfs";
        case BTRFS_SUPER_MAGIC:
            return "btrfs";
        case XFS_SUPER_MAGIC:
            return "xfs";
        case OVERLAYFS_SUPER_MAGIC:
            return "overlay";
        default:
            return "unknown";
    }
}

}  // namespace quorvale::agent
