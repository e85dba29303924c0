#include "agent/guest_devices.h"

#include <dirent.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

namespace quorvale::agent {

namespace {

struct Driver {
    const char* label;
    const char* paths[2];  // driver directories below /sys; either may hold the device
};

constexpr Driver drivers[] = {
    {"virtio_console", {"bus/virtio/drivers/virtio_console", nullptr}},
    {"virtio_blk", {"bus/virtio/drivers/virtio_blk", nullptr}},
    {"virtio_balloon", {"bus/virtio/drivers/virtio_balloon", nullptr}},
    {"virtio_rng", {"bus/virtio/drivers/virtio_rng", nullptr}},
    {"vsock", {"bus/virtio/drivers/vmw_vsock_virtio_transport", nullptr}},
    {"pvpanic", {"bus/platform/drivers/pvpanic-mmio", "bus/pci/drivers/pvpanic-pci"}},
    {"button", {"bus/acpi/drivers/button", nullptr}},
};

// Devices bound to the driver at `dir`: its symbolic links, but for the one to its module.
// -1 when the driver is not registered.
int boundDevices(const std::string& dir) {
    DIR* handle = ::opendir(dir.c_str());
    if (!handle)
        return -1;
    int count = 0;
    while (const dirent* entry = ::readdir(handle)) {
        const std::string name = entry->d_name;
        struct stat info {};
        if (name != "module" && ::lstat((dir + '/' + name).c_str(), &info) == 0 &&
            S_ISLNK(info.st_mode))
            ++count;
    }
    ::closedir(handle);
    return count;
}

}  // namespace

std::string describeGuestDevices(const std::string& sysDir, const std::string& filesystemsFile) {
    std::ostringstream text;
    text << "devices:";
    for (const Driver& driver : drivers) {
        int bound = -1;
        for (const char* path : driver.paths) {
            if (!path)
                continue;
            const int here = boundDevices(sysDir + '/' + path);
            if (here >= 0)
                bound = (bound < 0 ? 0 : bound) + here;
        }
        text << ' ' << driver.label << '=';
        if (bound < 0)
            text << '-';
        else
            text << bound;
    }
    text << "; filesystems:";
    // Lines are "nodev\ttype" or "\ttype".
    std::ifstream filesystems(filesystemsFile);
    std::string line;
    while (std::getline(filesystems, line)) {
        const std::string type = line.substr(line.find('\t') + 1);
        if (type == "ext2" || type == "ext3" || type == "ext4")
            text << ' ' << type;
    }
    return text.str();
}

}  // namespace quorvale::agent
