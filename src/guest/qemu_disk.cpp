#include "guest/qemu_disk.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "guest/held_disks.h"
#include "guest/vm_error.h"
#include "rpc/device_name.h"

namespace quorvale::guest {

QemuConfig::Disk describeDisk(const VMDisk& disk) {
    if (!rpc::isWholeDiskName(disk.name.toStdString()))
        throw VMError(VMError::Kind::diskAttachmentFailed,
                      "not a whole-disk name: \"" + disk.name.toStdString() + "\"");
    const int flags = ::fcntl(disk.fd.get(), F_GETFL);
    struct stat st {};
    if (flags < 0 || ::fstat(disk.fd.get(), &st) < 0)
        throw VMError(VMError::Kind::diskAttachmentFailed, std::strerror(errno));
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode))
        throw VMError(VMError::Kind::diskAttachmentFailed, std::strerror(ENOTBLK));
    QemuConfig::Disk described;
    if (disk.overlay) {
        struct stat overlay {};
        if (::fstat(disk.overlay.get(), &overlay) < 0 || !S_ISREG(overlay.st_mode) ||
            (::fcntl(disk.overlay.get(), F_GETFL) & O_ACCMODE) != O_RDWR)
            throw VMError(VMError::Kind::diskAttachmentFailed,
                          "the overlay of " + disk.name.toStdString() + " is not a writable file");
        if ((flags & O_ACCMODE) != O_RDONLY)
            throw VMError(VMError::Kind::diskAttachmentFailed,
                          "a staged disk is handed over read-only");
        described.overlayFd = disk.overlay.get();
    }
    described.access = (flags & O_ACCMODE) == O_RDONLY ? QemuConfig::Access::readOnly
                                                       : QemuConfig::Access::readWrite;
    described.medium =
        S_ISBLK(st.st_mode) ? QemuConfig::Medium::blockDevice : QemuConfig::Medium::imageFile;
    described.name = disk.name;
    return described;
}

std::uint64_t sizeAtHandOver(const VMDisk& disk) {
    const std::optional<std::uint64_t> size = diskSize(disk.fd.get());
    if (!size)
        throw VMError(VMError::Kind::diskAttachmentFailed,
                      "cannot read the size of " + disk.name.toStdString());
    return *size;
}

}  // namespace quorvale::guest
