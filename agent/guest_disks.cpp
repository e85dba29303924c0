#include "agent/guest_disks.h"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <memory>

#include "agent/agent_error.h"
#include "rpc/device_name.h"

namespace quorvale::agent {

namespace {

// The first line of a sysfs attribute without trailing blanks or NULs; nothing if unreadable.
std::optional<std::string> readAttribute(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line))
        return std::nullopt;
    while (!line.empty() && (line.back() == ' ' || line.back() == '\0' || line.back() == '\r' ||
                             line.back() == '\t'))
        line.pop_back();
    return line;
}

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> handle(::opendir(dir.c_str()), ::closedir);
    if (!handle)
        return names;
    while (const dirent* entry = ::readdir(handle.get())) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    return names;
}

}  // namespace

std::vector<GuestDisk> listGuestDisks(const std::string& sysBlockDir) {
    std::vector<GuestDisk> disks;
    for (const auto& guestName : entries(sysBlockDir)) {
        const auto serial = readAttribute(sysBlockDir + "/" + guestName + "/serial");
        if (serial && rpc::isWholeDiskName(*serial)) {
            const auto sequence = readAttribute(sysBlockDir + "/" + guestName + "/diskseq");
            disks.push_back({*serial, guestName, sequence.value_or("")});
        }
    }
    std::sort(disks.begin(), disks.end(),
              [](const GuestDisk& a, const GuestDisk& b) { return a.guestName < b.guestName; });
    return disks;
}

std::vector<std::pair<unsigned, std::string>> listGuestPartitions(const std::string& sysBlockDir,
                                                                  const std::string& guestName) {
    std::vector<std::pair<unsigned, std::string>> parts;
    const std::string diskDir = sysBlockDir + "/" + guestName;
    for (const auto& child : entries(diskDir)) {
        const auto number = readAttribute(diskDir + "/" + child + "/partition");
        if (!number || number->empty() || number->size() > 4 ||
            number->find_first_not_of("0123456789") != std::string::npos)
            continue;
        parts.emplace_back(static_cast<unsigned>(std::stoul(*number)), child);
    }
    std::sort(parts.begin(), parts.end());
    return parts;
}

GuestDevice resolveGuestDevice(std::string_view hostName, const std::string& sysBlockDir,
                               const std::string& devDir) {
    const auto whole = rpc::wholeDiskName(hostName);
    if (!whole) {
        throw AgentError::invalidParams("\"partition\" is not a partition name: \"" +
                                        std::string(hostName) + "\"");
    }
    std::optional<GuestDisk> found;
    for (auto& disk : listGuestDisks(sysBlockDir)) {
        if (disk.hostName != *whole)
            continue;
        if (found) {
            throw AgentError(AgentError::Kind::system, EIO,
                             "More than one disk in the VM is named " + *whole);
        }
        found = std::move(disk);
    }
    if (!found) {
        throw AgentError(AgentError::Kind::system, ENODEV,
                         "Disk " + *whole + " is not attached to the VM");
    }
    const auto number = rpc::partitionNumber(hostName);
    if (!number)
        return {devDir + "/" + found->guestName, *found};
    for (const auto& [n, guestName] : listGuestPartitions(sysBlockDir, found->guestName)) {
        if (n == *number)
            return {devDir + "/" + guestName, *found};
    }
    throw AgentError(AgentError::Kind::system, ENXIO,
                     "Disk " + *whole + " has no partition " + std::string(hostName));
}

}  // namespace quorvale::agent
