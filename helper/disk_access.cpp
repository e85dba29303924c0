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
#include <cstdint>
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

std::vector<SwapArea> swapAreas(const fs::path& swaps) {
    // A header line, then: file-name type size used priority. Blanks and backslashes in the
    // name are written as octal escapes (\040).
    std::vector<SwapArea> areas;
    std::ifstream in(swaps);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string escaped;
        if (!(fields >> escaped))
            continue;
        std::string name;
        for (std::size_t i = 0; i < escaped.size(); ++i) {
            const auto octal = [&](std::size_t at) {
                return escaped[at] >= '0' && escaped[at] <= '7';
            };
            if (escaped[i] == '\\' && i + 3 < escaped.size() && octal(i + 1) && octal(i + 2) &&
                octal(i + 3)) {
                name += static_cast<char>(std::stoi(escaped.substr(i + 1, 3), nullptr, 8));
                i += 3;
            } else {
                name += escaped[i];
            }
        }
        SwapArea area{name};
        struct stat st {};
        if (::stat(name.c_str(), &st) == 0 && S_ISBLK(st.st_mode))
            area.dev = st.st_rdev;
        areas.push_back(std::move(area));
    }
    return areas;
}

DiskAccess::Disk DiskAccess::checkedDisk(const std::string& name) const {
    if (!rpc::isDeviceName(name))
        throw Refusal(Refusal::Kind::invalidRequest, "Invalid device name");
    if (!rpc::isWholeDiskName(name))
        throw Refusal(Refusal::Kind::notAllowed, name + " is a partition, not a whole disk");

    Disk disk;
    disk.name = name;
    disk.sysDir = config_.sysRoot / "class" / "block" / name;
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
    for (const auto& entry : fs::directory_iterator(disk.sysDir, ec)) {
        if (!entry.is_directory(ec) || !fs::exists(entry.path() / "partition", ec))
            continue;
        const auto partDev = readAttribute(entry.path() / "dev");
        const auto parsedPart = partDev ? parseDev(*partDev) : std::nullopt;
        if (parsedPart)
            disk.partitions.push_back(
                {entry.path().filename().string(), entry.path(), *parsedPart});
    }
    std::sort(disk.partitions.begin(), disk.partitions.end(),
              [](const Node& a, const Node& b) { return a.name < b.name; });

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
    const auto mounted = mountedDevices(config_.mountInfo);
    const auto swaps = swapAreas(config_.swaps);
    std::vector<const Node*> nodes{&disk};
    for (const auto& part : disk.partitions)
        nodes.push_back(&part);
    std::error_code ec;
    for (const Node* node : nodes) {
        if (std::find(mounted.begin(), mounted.end(), node->dev) != mounted.end()) {
            throw Refusal(Refusal::Kind::inUse,
                          node->name + " is in use: mounted on this computer; unmount it first");
        }
        for (const auto& area : swaps) {
            const bool byNode = area.dev != 0 && area.dev == node->dev;
            const bool byName = area.path == config_.devRoot / node->name;
            if (byNode || byName)
                throw Refusal(Refusal::Kind::inUse, node->name + " is in use as swap space");
        }
        for (const auto& holder : fs::directory_iterator(node->sysDir / "holders", ec)) {
            throw Refusal(Refusal::Kind::inUse, node->name + " is in use by " +
                                                    holder.path().filename().string() +
                                                    " (device-mapper or RAID)");
        }
    }
}

// The partition that somebody holds exclusively, found by trying to claim each in turn; the
// disk's own name when none is (the disk itself is held).
std::string DiskAccess::claimedPart(const Disk& disk) const {
    for (const auto& part : disk.partitions) {
        const fs::path node = config_.devRoot / part.name;
        UniqueFd fd(::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_EXCL | O_NOFOLLOW | O_CLOEXEC));
        if (!fd && errno == EBUSY)
            return part.name;
    }
    return disk.name;
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
                throw Refusal(
                    Refusal::Kind::inUse,
                    claimedPart(disk) + " is in use (mounted, or opened by another program)");
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

UniqueFd DiskAccess::openHeld(const HandedDisk& claim) const {
    const Disk disk = checkedDisk(claim.name);
    // The claim is an open file of the node checked when it was handed out; the name may stand
    // for another disk by now (unplugged, and another one given its name and number).
    struct stat held {};
    if (::fstat(claim.file.get(), &held) != 0)
        throw Refusal(Refusal::Kind::failed, "Cannot inspect the claim on " + claim.name);
    const bool sameDevice = S_ISBLK(held.st_mode) && held.st_rdev == disk.dev;
    if (!sameDevice && !(config_.allowRegularFiles && S_ISREG(held.st_mode)))
        throw Refusal(Refusal::Kind::notAllowed, claim.name + " is another disk by now");
    if (disk.readOnlyMedia) {
        throw Refusal(Refusal::Kind::writeProtected,
                      "The card in " + disk.name + " is write-protected (check its lock switch)");
    }
    // Every medium a disk gets has a number of its own, which an open file reports for the
    // medium in the slot now: a card swapped in its reader shows another number than the one
    // taken as it was handed out. Checked again on the new descriptor, in case of a swap
    // meanwhile. A kernel without the numbers (before 5.15) answers neither.
    const std::string swapped =
        "The card in " + claim.name + " was changed since it was opened: open it again";
    if (diskSequence(claim.file.get()) != claim.sequence)
        throw Refusal(Refusal::Kind::notAllowed, swapped);
    // Opened without O_EXCL beside the claim, which keeps everyone else out meanwhile.
    UniqueFd fd = openNode(disk, O_RDWR);
    if (diskSequence(fd.get()) != claim.sequence)
        throw Refusal(Refusal::Kind::notAllowed, swapped);
    return fd;
}

// Whether a block device other than `disk` and its partitions sits below the USB device.
bool DiskAccess::othersOnUsbDevice(const Disk& disk, const fs::path& usbDevice) const {
    std::error_code ec;
    const fs::path own = fs::canonical(disk.sysDir, ec);
    if (ec)
        return true;  // unknown: only detach
    const auto below = [](const fs::path& path, const fs::path& dir) {
        const auto [end, rest] = std::mismatch(dir.begin(), dir.end(), path.begin(), path.end());
        return end == dir.end();
    };
    for (const auto& entry : fs::directory_iterator(config_.sysRoot / "class" / "block", ec)) {
        std::error_code entryError;
        const fs::path device = fs::canonical(entry.path(), entryError);
        if (!entryError && below(device, usbDevice) && !below(device, own))
            return true;
    }
    return false;
}

void DiskAccess::eject(const std::string& name) const {
    const Disk disk = checkedDisk(name);
    // Claimed exclusively until it is detached: nobody can mount it or open it in between.
    const UniqueFd fd = openNode(disk, O_RDONLY | O_NONBLOCK | O_EXCL);
    if (::fsync(fd.get()) != 0 && errno != EINVAL)
        throw Refusal(Refusal::Kind::failed, "Cannot flush " + name + ": " + errnoText(errno));
    struct stat st {};
    if (::fstat(fd.get(), &st) == 0 && S_ISBLK(st.st_mode)) {
        ::ioctl(fd.get(), BLKFLSBUF, 0);
        if (name.starts_with("sd"))
            scsiStartStopEject(fd.get());
    }
    // A SCSI disk (USB reader) is detached, then its USB device is powered off where the kernel
    // offers that, unless another slot of the same reader still holds a disk. A disk on the mmc
    // bus has nothing to power off: flushed is ejected.
    std::error_code ec;
    const fs::path usbDevice = busAncestor(disk.sysDir, {"usb"}, "remove");
    const bool shared = !usbDevice.empty() && othersOnUsbDevice(disk, usbDevice);
    if (fs::exists(disk.sysDir / "device" / "delete", ec) &&
        !writeAttribute(disk.sysDir / "device" / "delete", "1")) {
        throw Refusal(Refusal::Kind::failed, "Cannot detach " + name + ": " + errnoText(errno));
    }
    if (!usbDevice.empty() && !shared)
        writeAttribute(usbDevice / "remove", "1");
}

}  // namespace quorvale::helper
