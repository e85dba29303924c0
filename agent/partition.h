#pragma once
// Partition: one mounted filesystem served to the host, and PartitionProvider: which one
// serves a call. The host program serves one directory; the VM mounts the partitions of the
// disks it holds on first use.

#include <sys/types.h>

#include <boost/json/array.hpp>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "agent/account_names.h"
#include "agent/root_dir.h"

namespace quorvale::agent {

struct Partition {
    Partition(std::string name, const std::string& directory)
        : name(std::move(name)), root(directory) {}

    std::string name;  // the host's name for it, e.g. "sdb2"
    RootDir root;
    AccountNames accounts;
};

// How a partition is to be mounted. The defaults never replay a journal that needs recovery:
// such a partition is refused until the host chooses read-only or repair.
struct MountRequest {
    bool readOnly = false;       // mount read-only without loading the journal: writes nothing
    bool replayJournal = false;  // allow the kernel to replay a journal that needs recovery
};

class PartitionProvider {
public:
    virtual ~PartitionProvider() = default;

    // The partition a call acts on: the named one, or for no name the last one used (or the
    // first that mounts). Throws AgentError when it cannot be served.
    virtual std::shared_ptr<Partition> select(std::optional<std::string_view> name) = 0;
    // "get_partitions": the mounted partitions, the current one first.
    virtual boost::json::array describe() = 0;
    // Flushes every mounted partition to its disk.
    virtual void sync() = 0;
    // Flushes and unmounts every partition; a later call mounts again on first use.
    virtual void unmountAll() = 0;
    // The same for the partitions of one whole disk (host name, e.g. "sdb") only.
    virtual void syncDisk(std::string_view disk) = 0;
    virtual void unmountDisk(std::string_view disk) = 0;
    // The devices (st_dev) of the mounted partitions of one whole disk; none where unmounting
    // releases nothing.
    virtual std::vector<dev_t> devicesOn(std::string_view /*disk*/) { return {}; }
    // Mounts the named partition (or the one a call without a name would use) as requested,
    // and describes it like "get_partitions". An already mounted partition stays as it is.
    virtual boost::json::object mount(std::optional<std::string_view> name,
                                      MountRequest request) = 0;
    // The block device of a partition that is not mounted, for a check. Throws AgentError when
    // it is mounted or there is no such device.
    virtual std::string unmountedDevice(std::string_view name) = 0;
};

}  // namespace quorvale::agent
