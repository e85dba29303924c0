#include "agent/guest_partitions.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "agent/agent_error.h"
#include "agent/ext_superblock.h"
#include "agent/host_partitions.h"
#include "agent/log.h"
#include "rpc/device_name.h"

namespace quorvale::agent {

namespace {

using namespace std::chrono_literals;

AgentError mountError(int errnoValue, const std::string& hostName, const std::string& device,
                      const std::string& why) {
    return AgentError(AgentError::Kind::system, errnoValue,
                      "Cannot mount " + hostName + " (" + device + "): " + why);
}

// Device nodes appear shortly after the disk is probed.
bool waitForDevice(const std::string& device, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (::access(device.c_str(), F_OK) != 0) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

}  // namespace

MountOptions mountOptions(bool readOnly) {
    const unsigned long common = MS_NOSUID | MS_NODEV | MS_NOEXEC;
    if (readOnly)
        return {common | MS_RDONLY, "noload"};
    return {common, ""};
}

GuestDevice GuestPartitions::resolve(std::string_view hostName) const {
    const auto deadline = std::chrono::steady_clock::now() + layout_.diskWait;
    for (;;) {
        try {
            return resolveGuestDevice(hostName, layout_.sysBlockDir, layout_.devDir);
        } catch (const AgentError& e) {
            // A disk just plugged in may not show itself or its partitions yet.
            if (e.kind != AgentError::Kind::system ||
                (e.errnoValue != ENODEV && e.errnoValue != ENXIO) ||
                std::chrono::steady_clock::now() >= deadline)
                throw;
        }
        std::this_thread::sleep_for(50ms);
    }
}

void GuestPartitions::detach(const std::string& hostName, const Mounted& entry) {
    // Calls still running hold the root open; the kernel lets go once they finish.
    if (::umount2(entry.mountPoint.c_str(), MNT_DETACH) != 0)
        logLine("umount " + entry.mountPoint + ": " + errnoText(errno));
    else
        logLine("detached " + hostName + " (" + entry.device + ")");
}

std::shared_ptr<Partition> GuestPartitions::stillMounted(const std::string& hostName) {
    const auto it = mounted_.find(hostName);
    if (it == mounted_.end())
        return nullptr;
    try {
        const auto now = resolveGuestDevice(hostName, layout_.sysBlockDir, layout_.devDir);
        if (now.device == it->second.device && now.disk.sequence == it->second.diskSequence)
            return it->second.partition;
    } catch (const AgentError&) {
    }
    detach(hostName, it->second);
    mounted_.erase(it);
    if (current_ == hostName)
        current_.clear();
    return nullptr;
}

GuestPartitions::Mounted& GuestPartitions::mount(const GuestDevice& guestDevice,
                                                 const std::string& hostName,
                                                 MountRequest request) {
    const std::string& device = guestDevice.device;
    if (!waitForDevice(device, 3s))
        throw mountError(ENODEV, hostName, device, "no such device");

    UniqueFd fd(::open(device.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        throw mountError(errno, hostName, device, errnoText(errno));
    int readOnly = 0;
    if (::ioctl(fd.get(), BLKROGET, &readOnly) != 0)
        readOnly = 0;
    std::string bytes(extSuperblockSize, '\0');
    const auto n = ::pread(fd.get(), bytes.data(), bytes.size(), extSuperblockOffset);
    const auto superblock =
        n == static_cast<ssize_t>(bytes.size()) ? parseExtSuperblock(bytes) : std::nullopt;
    fd.reset();
    if (!superblock)
        throw mountError(EINVAL, hostName, device, "not an ext2/3/4 filesystem");
    if (superblock->cannotMount())
        throw mountError(EOPNOTSUPP, hostName, device,
                         "the filesystem uses features this system does not support");
    if (superblock->readOnlyOnly())
        readOnly = 1;
    if (!readOnly && request.readOnly)
        readOnly = 1;
    if (!readOnly && superblock->needsRecovery() && !request.replayJournal)
        throw mountError(EUCLEAN, hostName, device,
                         "the journal needs recovery (it was not unmounted cleanly)");

    const std::string mountPoint = layout_.mountDir + "/" + hostName;
    ::mkdir(layout_.mountDir.c_str(), 0755);
    ::mkdir(mountPoint.c_str(), 0755);
    const auto options = mountOptions(readOnly != 0);
    if (::mount(device.c_str(), mountPoint.c_str(), "ext4", options.flags,
                options.data.empty() ? nullptr : options.data.c_str()) != 0) {
        const int error = errno;
        throw mountError(error, hostName, device,
                         error == EINVAL || error == EUCLEAN || error == EBADMSG
                             ? "the filesystem is damaged or not ext2/3/4"
                             : errnoText(error));
    }
    logLine("mounted " + hostName + " (" + device + ") on " + mountPoint +
            (readOnly ? " read-only" : ""));
    Mounted entry;
    try {
        entry.partition = std::make_shared<Partition>(hostName, mountPoint);
    } catch (...) {
        ::umount2(mountPoint.c_str(), MNT_DETACH);
        throw;
    }
    entry.device = device;
    entry.diskSequence = guestDevice.disk.sequence;
    entry.mountPoint = mountPoint;
    entry.filesystem = superblock->filesystem;
    entry.label = superblock->label;
    entry.readOnly = readOnly != 0;
    if (!entry.readOnly)
        entry.sweep = std::make_shared<LeftoverSweep>(entry.partition->root.fd(), "/");
    return mounted_.insert_or_assign(hostName, std::move(entry)).first->second;
}

std::shared_ptr<Partition> GuestPartitions::select(std::optional<std::string_view> name) {
    if (!name)
        return selectAny();
    const std::string hostName(*name);
    {
        std::lock_guard lock(mutex_);
        if (auto partition = stillMounted(hostName)) {
            current_ = hostName;
            return partition;
        }
    }
    // Waiting for a disk being plugged in holds up no other partition's calls.
    const auto device = resolve(hostName);
    std::lock_guard lock(mutex_);
    if (auto partition = stillMounted(hostName)) {
        current_ = hostName;
        return partition;
    }
    auto& entry = mount(device, hostName);
    current_ = hostName;
    return entry.partition;
}

std::shared_ptr<Partition> GuestPartitions::selectAny() {
    std::lock_guard lock(mutex_);
    if (!current_.empty()) {
        if (auto partition = stillMounted(current_))
            return partition;
    }
    std::optional<AgentError> firstError;
    for (const auto& disk : listGuestDisks(layout_.sysBlockDir)) {
        std::vector<std::string> names;
        for (const auto& [number, guestName] :
             listGuestPartitions(layout_.sysBlockDir, disk.guestName)) {
            if (const auto hostName = rpc::partitionName(disk.hostName, number))
                names.push_back(*hostName);
        }
        names.push_back(disk.hostName);
        for (const auto& hostName : names) {
            try {
                if (auto partition = stillMounted(hostName)) {
                    current_ = hostName;
                    return partition;
                }
                const auto device =
                    resolveGuestDevice(hostName, layout_.sysBlockDir, layout_.devDir);
                auto& entry = mount(device, hostName);
                current_ = hostName;
                return entry.partition;
            } catch (const AgentError& e) {
                if (!firstError)
                    firstError = e;
            }
        }
    }
    if (firstError)
        throw *firstError;
    throw AgentError(AgentError::Kind::system, ENODEV, "No disk is attached to the VM");
}

boost::json::object GuestPartitions::describe(const Mounted& m) const {
    auto o = describeFilesystem(m.partition->root.fd(), m.partition->name, m.label, m.filesystem);
    o["read_only"] = m.readOnly;
    return o;
}

boost::json::object GuestPartitions::mount(std::optional<std::string_view> name,
                                           MountRequest request) {
    if (!name) {
        std::lock_guard lock(mutex_);
        if (!current_.empty() && stillMounted(current_))
            return describe(mounted_.at(current_));
        throw AgentError::invalidParams("\"partition\" is required: nothing is mounted");
    }
    const std::string hostName(*name);
    {
        std::lock_guard lock(mutex_);
        if (stillMounted(hostName)) {
            current_ = hostName;
            return describe(mounted_.at(hostName));
        }
    }
    const auto device = resolve(hostName);
    std::lock_guard lock(mutex_);
    if (!stillMounted(hostName))
        mount(device, hostName, request);
    current_ = hostName;
    return describe(mounted_.at(hostName));
}

std::string GuestPartitions::unmountedDevice(std::string_view name) {
    const std::string hostName(name);
    const auto busy = [&] { return AgentError::systemDetail(EBUSY, hostName + " is mounted"); };
    {
        std::lock_guard lock(mutex_);
        if (stillMounted(hostName))
            throw busy();
    }
    const auto device = resolve(hostName);
    std::lock_guard lock(mutex_);
    if (stillMounted(hostName))
        throw busy();
    if (!waitForDevice(device.device, 3s))
        throw AgentError::systemDetail(ENODEV, hostName + " (" + device.device + ")");
    return device.device;
}

boost::json::array GuestPartitions::describe() {
    std::lock_guard lock(mutex_);
    boost::json::array list;
    const auto add = [&](const Mounted& m) { list.push_back(describe(m)); };
    if (const auto it = mounted_.find(current_); it != mounted_.end())
        add(it->second);
    for (const auto& [hostName, m] : mounted_) {
        if (hostName != current_)
            add(m);
    }
    return list;
}

namespace {

bool onDisk(const std::string& hostName, std::optional<std::string_view> disk) {
    return !disk || rpc::wholeDiskName(hostName) == *disk;
}

}  // namespace

void GuestPartitions::syncSome(std::optional<std::string_view> disk) {
    std::lock_guard lock(mutex_);
    // Every partition is flushed; the first one whose data did not reach the card fails the call.
    std::optional<AgentError> failure;
    for (const auto& [hostName, m] : mounted_) {
        if (onDisk(hostName, disk) && ::syncfs(m.partition->root.fd()) != 0) {
            const int error = errno;
            logLine("syncfs " + hostName + ": " + errnoText(error));
            if (!failure)
                failure = AgentError::systemDetail(
                    error, "changes on " + hostName + " could not be written to the card");
        }
    }
    if (!disk)
        ::sync();
    if (failure)
        throw *failure;
}

void GuestPartitions::unmountSome(std::optional<std::string_view> disk) {
    std::lock_guard lock(mutex_);
    if (!disk)
        ::sync();
    for (auto it = mounted_.begin(); it != mounted_.end();) {
        if (!onDisk(it->first, disk)) {
            ++it;
            continue;
        }
        Mounted m = std::move(it->second);
        const std::string hostName = it->first;
        it = mounted_.erase(it);
        if (current_ == hostName)
            current_.clear();
        m.sweep.reset();  // stops and waits
        if (disk && ::syncfs(m.partition->root.fd()) != 0)
            logLine("syncfs " + hostName + ": " + errnoText(errno));
        // Calls still running hold the root open; the kernel detaches it when they finish.
        m.partition.reset();
        if (::umount2(m.mountPoint.c_str(), 0) != 0) {
            logLine("umount " + m.mountPoint + ": " + errnoText(errno) + ", detaching");
            ::umount2(m.mountPoint.c_str(), MNT_DETACH);
        } else {
            logLine("unmounted " + hostName);
        }
    }
}

void GuestPartitions::sync() {
    syncSome(std::nullopt);
}

void GuestPartitions::unmountAll() {
    unmountSome(std::nullopt);
}

void GuestPartitions::syncDisk(std::string_view disk) {
    syncSome(disk);
}

void GuestPartitions::unmountDisk(std::string_view disk) {
    unmountSome(disk);
}

std::vector<dev_t> GuestPartitions::devicesOn(std::string_view disk) {
    std::lock_guard lock(mutex_);
    std::vector<dev_t> devices;
    for (const auto& [hostName, m] : mounted_) {
        struct stat st {};
        if (onDisk(hostName, disk) && ::fstat(m.partition->root.fd(), &st) == 0)
            devices.push_back(st.st_dev);
    }
    return devices;
}

}  // namespace quorvale::agent
