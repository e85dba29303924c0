#include "helper/disk_access.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>

#include "helper/refusal.h"
#include "rpc/device_name.h"

namespace quorvale::helper {

namespace fs = std::filesystem;

namespace {

std::optional<std::string> readAttribute(const fs::path& path) {
    std::ifstream in(path);
    if (!in)
        return std::nullopt;
    std::string value;
    std::getline(in, value);
    while (!value.empty() && (value.back() == '\n' || value.back() == ' '))
        value.pop_back();
    return value;
}

bool writeAttribute(const fs::path& path, const char* value) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    const auto len = static_cast<ssize_t>(std::strlen(value));
    const bool ok = ::write(fd, value, static_cast<size_t>(len)) == len;
    ::close(fd);
    return ok;
}

std::optional<dev_t> parseDev(const std::string& text) {
    unsigned major = 0, minor = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%u:%u%c", &major, &minor, &tail) != 2)
        return std::nullopt;
    return makedev(major, minor);
}

std::string errnoText(int error) {
    return std::strerror(error);
}

// SCSI START STOP UNIT with LoEj set and Start clear: the reader ejects or spins down its medium.
void scsiStartStopEject(int fd) {
    unsigned char cdb[6] = {0x1b, 0, 0, 0, 0x02, 0};
    unsigned char sense[32] = {};
    sg_io_hdr_t io{};
    io.interface_id = 'S';
    io.dxfer_direction = SG_DXFER_NONE;
    io.cmd_len = sizeof cdb;
    io.cmdp = cdb;
    io.mx_sb_len = sizeof sense;
    io.sbp = sense;
    io.timeout = 10000;
    ::ioctl(fd, SG_IO, &io);  // best effort: readers without a tray answer with an error
}

}  // namespace

std::vector<dev_t> mountedDevices(const fs::path& mountInfo) {
    // Each line: id parent-id major:minor root mount-point ...
    std::vector<dev_t> devices;
    std::ifstream in(mountInfo);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, devText;
        if (fields >> id >> parent >> devText) {
            if (const auto dev = parseDev(devText))
                devices.push_back(*dev);
        }
    }
    return devices;
}

DiskAccess::Disk DiskAccess::checkedDisk(const std::string& name) const {
    if (!rpc::isDeviceName(name))
        throw Refusal(Refusal::Kind::invalidRequest, "Invalid device name");
    if (!rpc::isWholeDiskName(name))
        throw Refusal(Refusal::Kind::notAllowed, name + " is a partition, not a whole disk");

    Disk disk{name, config_.sysRoot / "class" / "block" / name};
    std::error_code ec;
    if (!fs::exists(disk.sysDir, ec))
        throw Refusal(Refusal::Kind::notFound, "No such disk: " + name);
    if (fs::exists(disk.sysDir / "partition", ec))
        throw Refusal(Refusal::Kind::notAllowed, name + " is a partition, not a whole disk");
    const auto dev = readAttribute(disk.sysDir / "dev");
    const auto parsed = dev ? parseDev(*dev) : std::nullopt;
    if (!parsed)
        throw Refusal(Refusal::Kind::notFound, "No device number for " + name);
    disk.dev = *parsed;
    disk.readOnlyMedia = readAttribute(disk.sysDir / "ro") == "1";

    if (readAttribute(disk.sysDir / "removable") != "1" &&
        busAncestor(disk.sysDir, {"usb", "mmc"}).empty())
        throw Refusal(Refusal::Kind::notAllowed, name + " is not a removable disk");
    refuseIfBusy(disk);
    return disk;
}

// The nearest directory from `start` up to the sysfs root whose "subsystem" link names a bus
// in `buses` and that holds `file` (when given); empty when there is none.
fs::path DiskAccess::busAncestor(const fs::path& start, std::initializer_list<const char*> buses,
                                 const char* file) const {
    std::error_code ec;
    const fs::path root = fs::canonical(config_.sysRoot, ec);
    if (ec)
        return {};
    fs::path dir = fs::canonical(start, ec);
    if (ec)
        return {};
    for (; dir != root && dir != dir.parent_path(); dir = dir.parent_path()) {
        const auto bus = fs::read_symlink(dir / "subsystem", ec).filename().string();
        if (ec)
            continue;
        const bool wanted =
            std::any_of(buses.begin(), buses.end(), [&](const char* b) { return bus == b; });
        if (wanted && (!file || fs::exists(dir / file, ec)))
            return dir;
    }
    return {};
}

void DiskAccess::refuseIfBusy(const Disk& disk) const {
    std::vector<dev_t> own{disk.dev};
    std::vector<fs::path> holders{disk.sysDir / "holders"};
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(disk.sysDir, ec)) {
        if (!entry.is_directory(ec) || !fs::exists(entry.path() / "partition", ec))
            continue;
        if (const auto dev = readAttribute(entry.path() / "dev")) {
            if (const auto parsed = parseDev(*dev))
                own.push_back(*parsed);
        }
        holders.push_back(entry.path() / "holders");
    }
    const auto mounted = mountedDevices(config_.mountInfo);
    for (const dev_t dev : own) {
        if (std::find(mounted.begin(), mounted.end(), dev) != mounted.end()) {
            throw Refusal(
                Refusal::Kind::inUse,
                disk.name + " has a partition mounted on this computer; unmount it first");
        }
    }
    for (const auto& dir : holders) {
        if (fs::exists(dir, ec) && !fs::is_empty(dir, ec)) {
            throw Refusal(Refusal::Kind::inUse, disk.name + " is in use by another device driver");
        }
    }
}

UniqueFd DiskAccess::openNode(const Disk& disk, int flags) const {
    const fs::path node = config_.devRoot / disk.name;
    UniqueFd fd(::open(node.c_str(), flags | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
    if (!fd) {
        const int error = errno;
        const bool writing = (flags & O_ACCMODE) != O_RDONLY;
        if (writing &&
            (error == EROFS || ((error == EACCES || error == EPERM) && disk.readOnlyMedia))) {
            throw Refusal(
                Refusal::Kind::writeProtected,
                "The card in " + disk.name + " is write-protected (check its lock switch)");
        }
        switch (error) {
            case EACCES:
            case EPERM:
                throw Refusal(
                    Refusal::Kind::accessDenied,
                    "the system refused to open " + node.string() + ": " + errnoText(error));
            case EBUSY:
                throw Refusal(Refusal::Kind::inUse, disk.name + " is in use by another program");
            case ELOOP:
                throw Refusal(Refusal::Kind::notAllowed, node.string() + " is a symbolic link");
            case ENOENT:
            case ENXIO:
            case ENOMEDIUM:
                throw Refusal(Refusal::Kind::notFound, "No medium in " + disk.name);
            default:
                throw Refusal(Refusal::Kind::failed,
                              "Cannot open " + node.string() + ": " + errnoText(error));
        }
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        throw Refusal(Refusal::Kind::failed, "Cannot inspect " + node.string());
    const bool sameDevice = S_ISBLK(st.st_mode) && st.st_rdev == disk.dev;
    const bool standIn = config_.allowRegularFiles && S_ISREG(st.st_mode);
    if (!sameDevice && !standIn) {
        throw Refusal(Refusal::Kind::notAllowed, node.string() + " is not the block device " +
                                                     std::to_string(major(disk.dev)) + ":" +
                                                     std::to_string(minor(disk.dev)));
    }
    return fd;
}

UniqueFd DiskAccess::open(const std::string& name, OpenMode mode) const {
    const Disk disk = checkedDisk(name);
    if (mode == OpenMode::readWrite && disk.readOnlyMedia) {
        throw Refusal(Refusal::Kind::writeProtected,
                      "The card in " + disk.name + " is write-protected (check its lock switch)");
    }
    return openNode(disk, (mode == OpenMode::readOnly ? O_RDONLY : O_RDWR) | O_EXCL);
}

void DiskAccess::eject(const std::string& name) const {
    const Disk disk = checkedDisk(name);
    {
        UniqueFd fd = openNode(disk, O_RDONLY | O_NONBLOCK);
        if (::fsync(fd.get()) != 0 && errno != EINVAL)
            throw Refusal(Refusal::Kind::failed, "Cannot flush " + name + ": " + errnoText(errno));
        struct stat st {};
        if (::fstat(fd.get(), &st) == 0 && S_ISBLK(st.st_mode)) {
            ::ioctl(fd.get(), BLKFLSBUF, 0);
            if (name.starts_with("sd"))
                scsiStartStopEject(fd.get());
        }
    }
    // A SCSI disk (USB reader) is detached, then its USB device is powered off where the kernel
    // offers that. A disk on the mmc bus has nothing to power off: flushed is ejected.
    const fs::path usbDevice = busAncestor(disk.sysDir, {"usb"}, "remove");
    std::error_code ec;
    if (fs::exists(disk.sysDir / "device" / "delete", ec) &&
        !writeAttribute(disk.sysDir / "device" / "delete", "1")) {
        throw Refusal(Refusal::Kind::failed, "Cannot detach " + name + ": " + errnoText(errno));
    }
    if (!usbDevice.empty())
        writeAttribute(usbDevice / "remove", "1");
}

}  // namespace quorvale::helper
