#include "guest/held_disks.h"

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include "guest/vm_error.h"
#include "rpc/device_name.h"

namespace quorvale::guest {

std::optional<std::uint64_t> diskSize(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return std::nullopt;
    if (S_ISREG(st.st_mode))
        return static_cast<std::uint64_t>(st.st_size);
    std::uint64_t bytes = 0;
    if (!S_ISBLK(st.st_mode) || ::ioctl(fd, BLKGETSIZE64, &bytes) != 0)
        return std::nullopt;
    return bytes;
}

void HeldDisks::hold(const QString& name, UniqueFd fd, std::uint64_t size) {
    disks[name] = Held{std::move(fd), size};
}

void HeldDisks::release(const QString& name) {
    disks.erase(name);
}

void HeldDisks::check(const std::optional<QString>& device) const {
    std::optional<QString> wanted;
    if (device) {
        const auto whole = rpc::wholeDiskName(device->toStdString());
        wanted = whole ? QString::fromStdString(*whole) : *device;
    }
    for (const auto& [name, held] : disks) {
        if (wanted && name != *wanted)
            continue;
        const std::optional<std::uint64_t> now = diskSize(held.fd.get());
        if (now == held.size)
            continue;
        const std::string measured = now ? std::to_string(*now) + " bytes" : "no readable size";
        throw VMError(VMError::Kind::diskRemoved, name.toStdString() + " has " + measured +
                                                      ", not the " + std::to_string(held.size) +
                                                      " it had when the VM was given it");
    }
}

}  // namespace quorvale::guest
