#include "agent/check_methods.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "agent/agent_error.h"
#include "agent/dispatcher.h"
#include "agent/filesystem_check.h"
#include "agent/partition.h"
#include "rpc/ext_superblock.h"
#include "rpc/unique_fd.h"

namespace quorvale::agent {

namespace {

// The longest a status call waits for its check to end; it holds a call slot meanwhile.
constexpr std::int64_t maxStatusWaitMs = 2000;

// The superblock as it is on the device now (empty when it cannot be read).
std::string readSuperblock(const std::string& device) {
    UniqueFd fd(::open(device.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return {};
    std::string bytes(rpc::extSuperblockSize, '\0');
    const ssize_t n = ::pread(fd.get(), bytes.data(), bytes.size(), rpc::extSuperblockOffset);
    return n == static_cast<ssize_t>(bytes.size()) ? bytes : std::string();
}

struct Checks {
    std::string e2fsck;
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<FilesystemCheck>> byPartition;

    std::shared_ptr<FilesystemCheck> find(std::string_view name) {
        std::lock_guard lock(mutex);
        const auto it = byPartition.find(std::string(name));
        if (it == byPartition.end())
            throw AgentError::systemDetail(ENOENT, "no check of " + std::string(name));
        return it->second;
    }
};

}  // namespace

void addCheckMethods(Dispatcher& dispatcher, PartitionProvider& partitions, std::string e2fsck) {
    auto checks = std::make_shared<Checks>();
    checks->e2fsck = std::move(e2fsck);

    dispatcher.add("mount_partition", [&partitions](const ParamReader& params) {
        MountRequest request;
        request.readOnly = params.optionalBool("read_only").value_or(false);
        request.replayJournal = params.optionalBool("replay_journal").value_or(false);
        return HandlerResult(partitions.mount(params.optionalString("partition"), request));
    });

    dispatcher.add("check_filesystem", [&partitions, checks](const ParamReader& params) {
        const std::string name(params.string("partition"));
        const std::string device = partitions.unmountedDevice(name);
        std::lock_guard lock(checks->mutex);
        const auto it = checks->byPartition.find(name);
        if (it == checks->byPartition.end() || !it->second->running()) {
            auto check =
                std::make_shared<FilesystemCheck>(checks->e2fsck, device, readSuperblock(device));
            checks->byPartition[name] = std::move(check);
        }
        boost::json::object o;
        o["started"] = true;
        return HandlerResult(std::move(o));
    });

    dispatcher.add("check_status", [checks](const ParamReader& params) {
        const auto wait = params.optionalInteger("wait_ms").value_or(0);
        if (wait < 0)
            throw AgentError::invalidParams("wait_ms must not be negative");
        const auto check = checks->find(params.string("partition"));
        return HandlerResult(check->status(
            std::chrono::milliseconds(std::min<std::int64_t>(wait, maxStatusWaitMs))));
    });

    dispatcher.add("check_cancel", [checks](const ParamReader& params) {
        checks->find(params.string("partition"))->cancel();
        return HandlerResult(true);
    });
}

}  // namespace quorvale::agent
