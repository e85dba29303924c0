#include "agent/guest_partitions.h"

#include <dirent.h>
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

std::string baseName(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

}  // namespace

std::optional<std::string> guestDeviceFor(std::string_view hostName, const GuestLayout& layout) {
    if (!rpc::isDeviceName(hostName))
        return std::nullopt;
    const auto number = rpc::partitionNumber(hostName);
    return layout.devDir + "/" + layout.disk + (number ? std::to_string(*number) : "");
}

MountOptions mountOptions(bool readOnly) {
    const unsigned long common = MS_NOSUID | MS_NODEV | MS_NOEXEC;
    if (readOnly)
        return {common | MS_RDONLY, "noload"};
    return {common, ""};
}

std::vector<std::string> GuestPartitions::candidates() const {
    std::vector<std::pair<unsigned, std::string>> parts;
    const auto diskDir = layout_.sysBlockDir + "/" + layout_.disk;
    if (std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(diskDir.c_str()), ::closedir); dir) {
        while (const dirent* entry = ::readdir(dir.get())) {
            const std::string name = entry->d_name;
            if (name.size() <= layout_.disk.size() ||
                name.compare(0, layout_.disk.size(), layout_.disk) != 0)
                continue;
            if (const auto number = rpc::partitionNumber(name))
                parts.emplace_back(*number, layout_.devDir + "/" + name);
        }
    }
    std::sort(parts.begin(), parts.end());
    std::vector<std::string> devices;
    for (auto& [number, device] : parts)
        devices.push_back(std::move(device));
    devices.push_back(layout_.devDir + "/" + layout_.disk);
    return devices;
}

GuestPartitions::Mounted& GuestPartitions::mount(const std::string& device,
                                                 const std::string& hostName) {
    if (const auto it = mounted_.find(device); it != mounted_.end())
        return it->second;
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

    const std::string mountPoint = layout_.mountDir + "/" + baseName(device);
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
    logLine("mounted " + device + " on " + mountPoint + (readOnly ? " read-only" : ""));
    Mounted entry;
    try {
        entry.partition = std::make_shared<Partition>(hostName, mountPoint);
    } catch (...) {
        ::umount2(mountPoint.c_str(), MNT_DETACH);
        throw;
    }
    entry.mountPoint = mountPoint;
    entry.filesystem = superblock->filesystem;
    entry.label = superblock->label;
    entry.readOnly = readOnly != 0;
    return mounted_.emplace(device, std::move(entry)).first->second;
}

std::shared_ptr<Partition> GuestPartitions::select(std::optional<std::string_view> name) {
    std::lock_guard lock(mutex_);
    if (name) {
        const auto device = guestDeviceFor(*name, layout_);
        if (!device) {
            throw AgentError::invalidParams("\"partition\" is not a partition name: \"" +
                                            std::string(*name) + "\"");
        }
        auto& entry = mount(*device, std::string(*name));
        current_ = *device;
        return entry.partition;
    }
    if (const auto it = mounted_.find(current_); it != mounted_.end())
        return it->second.partition;
    std::optional<AgentError> firstError;
    for (const auto& device : candidates()) {
        try {
            auto& entry = mount(device, baseName(device));
            current_ = device;
            return entry.partition;
        } catch (const AgentError& e) {
            if (!firstError)
                firstError = e;
        }
    }
    throw *firstError;
}

boost::json::array GuestPartitions::describe() {
    std::lock_guard lock(mutex_);
    boost::json::array list;
    const auto add = [&](const Mounted& m) {
        auto o =
            describeFilesystem(m.partition->root.fd(), m.partition->name, m.label, m.filesystem);
        o["read_only"] = m.readOnly;
        list.push_back(std::move(o));
    };
    if (const auto it = mounted_.find(current_); it != mounted_.end())
        add(it->second);
    for (const auto& [device, m] : mounted_) {
        if (device != current_)
            add(m);
    }
    return list;
}

void GuestPartitions::sync() {
    std::lock_guard lock(mutex_);
    for (const auto& [device, m] : mounted_) {
        if (::syncfs(m.partition->root.fd()) != 0)
            logLine("syncfs " + device + ": " + errnoText(errno));
    }
    ::sync();
}

void GuestPartitions::unmountAll() {
    std::lock_guard lock(mutex_);
    ::sync();
    auto mounted = std::move(mounted_);
    mounted_.clear();
    current_.clear();
    for (auto& [device, m] : mounted) {
        // Calls still running hold the root open; the kernel detaches it when they finish.
        m.partition.reset();
        if (::umount2(m.mountPoint.c_str(), 0) != 0) {
            logLine("umount " + m.mountPoint + ": " + errnoText(errno) + ", detaching");
            ::umount2(m.mountPoint.c_str(), MNT_DETACH);
        } else {
            logLine("unmounted " + device);
        }
    }
}

}  // namespace quorvale::agent
