// The kernel uevent parser and what disk detection does with a parsed event: up to four
// datagrams per input go through UeventMessage::parse and then the udev source's deciding
// logic over a fake sysfs tree (a USB disk, an SD card, a fixed disk, each with a partition).
// A parsed event must carry an action and a device path; a device is reported only when it
// is one of the tree's, under its own name and with a clean label; a disappearance only for a
// device reported before.

#include <sys/socket.h>
#include <unistd.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <cstdio>
#include <cstdlib>

#include "disk/disk_description.h"
#include "disk/udev_disk_source.h"
#include "disk/uevent_message.h"
#include "sandbox.h"

namespace {

using namespace quorvale;

QString root;
int events = -1;  // one end of a datagram pair, standing in for the kernel's socket
const QSet<QString> devices{"sdb", "sdb1", "mmcblk0", "mmcblk0p1", "sda", "sda1"};

[[noreturn]] void fail(const char* why, const QString& detail = {}) {
    std::fprintf(stderr, "fuzz check failed: %s %s\n", why, qUtf8Printable(detail));
    std::abort();
}

void file(const QString& path, const QString& text) {
    QDir().mkpath(QFileInfo(root + path).path());
    QFile f(root + path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        fail("cannot write", path);
    f.write(text.toUtf8() + "\n");
}

void addDisk(const QString& busDir, const QString& bus, const QString& name, bool removable) {
    const QString devpath = busDir + "/host0/block/" + name;
    QDir().mkpath(root + busDir);
    QDir().mkpath(root + "/bus/" + bus);
    QFile::link(root + "/bus/" + bus, root + busDir + "/subsystem");
    file(devpath + "/size", "2048");
    file(devpath + "/removable", removable ? "1" : "0");
    file(devpath + "/uevent", "DEVNAME=" + name + "\nDEVTYPE=disk\n");
    file(devpath + "/queue/logical_block_size", "512");
    file(busDir + "/model", "Reader " + name);
    QFile::link(root + busDir, root + devpath + "/device");
    QFile::link(root + devpath, root + "/class/block/" + name);
    const QString part = name + (name.back().isDigit() ? "p1" : "1");
    file(devpath + "/" + part + "/size", "1024");
    file(devpath + "/" + part + "/partition", "1");
    file(devpath + "/" + part + "/uevent", "DEVNAME=" + part + "\nDEVTYPE=partition\n");
    QFile::link(root + devpath + "/" + part, root + "/class/block/" + part);
}

void checkParsed(const disk::UeventMessage& message) {
    if (message.action.isEmpty() || message.devpath.isEmpty())
        fail("an event without action or device path");
    if (message.action.contains(QLatin1Char('@')))
        fail("an action holding the separator", message.action);
    const auto action = message.properties.constFind(QStringLiteral("ACTION"));
    if (action != message.properties.constEnd() && *action != message.action)
        fail("an event whose ACTION contradicts its header", message.action);
}

void checkReported(const disk::DiskDescription& description, const QString& kind) {
    const QString name = description.string(disk::kDADiskDescriptionMediaBSDNameKey).value_or("");
    if (!devices.contains(name))
        fail(qPrintable(kind + " reported for a device that does not exist:"), name);
    const QString label = description.string(disk::kDADiskDescriptionVolumeNameKey).value_or("");
    for (const QChar c : label) {
        if (c.category() == QChar::Other_Control)
            fail("a label with a control character", name);
    }
    if (label.size() > 255)
        fail("a label longer than 255 characters", name);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static int qtArgc = 1;
    static char name[] = "uevent_fuzzer";
    static char* qtArgv[] = {name, nullptr};
    new QCoreApplication(qtArgc, qtArgv);
    root = QString::fromStdString(fuzz::confine(*argc, *argv)) + "/sys";
    QDir().mkpath(root + "/class/block");
    addDisk("/devices/pci0/usb1/1-2", "usb", "sdb", false);
    addDisk("/devices/pci0/mmc_host/mmc0", "mmc", "mmcblk0", false);
    addDisk("/devices/pci0/ata1", "scsi", "sda", false);
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair) != 0)
        fail("socketpair");
    events = pair[0];
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    disk::UdevDiskSource source({root + "/dev", root}, UniqueFd(::dup(events)));
    QSet<QString> present;
    disk::DiskEventSource::Handlers handlers;
    handlers.wholeDiskAppeared = [&](const disk::DiskDescription& d) {
        checkReported(d, "a disk");
        present.insert(d.string(disk::kDADiskDescriptionMediaBSDNameKey).value_or(""));
    };
    handlers.partitionAppeared = [&](const disk::DiskDescription& d) {
        checkReported(d, "a partition");
        present.insert(d.string(disk::kDADiskDescriptionMediaBSDNameKey).value_or(""));
    };
    handlers.diskDisappeared = [&](const disk::DiskDescription& d) {
        const QString name = d.string(disk::kDADiskDescriptionMediaBSDNameKey).value_or("");
        if (!present.remove(name))
            fail("a disappearance of a device never reported:", name);
    };
    for (int n = 0; n < 4 && input.remaining_bytes() > 0; ++n) {
        const std::string datagram = input.ConsumeRandomLengthString(16384);
        const auto message = disk::UeventMessage::parse(datagram.data(), datagram.size());
        if (!message)
            continue;
        checkParsed(*message);
        (void)message->sysname();
        source.handleMessage(*message, handlers);
    }
    return 0;
}
