// The udev source against a fake sysfs tree and recorded kernel uevent datagrams.

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <QDir>
#include <QFile>

#include "disk/disk_detection_service.h"
#include "disk/udev_disk_source.h"
#include "disk_test_support.h"

namespace quorvale::disk {
namespace {

using test::Event;

const char kUsbDisk[] =
    "/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/host6/target6:0:0/6:0:0:0/block/sdb";
const char kMmcDisk[] = "/devices/pci0000:00/0000:00:1e.6/mmc_host/mmc0/mmc0:aaaa/block/mmcblk0";
const char kAtaDisk[] = "/devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda";

// A sysfs tree with just what the reader looks at.
class FakeSysfs {
public:
    FakeSysfs() {
        mkdir("bus/usb");
        mkdir("bus/mmc");
        mkdir("bus/scsi");
        mkdir("class/block");
        subsystem("/devices/pci0000:00/0000:00:14.0/usb1/1-2", "usb");
        subsystem("/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0", "usb");
        subsystem("/devices/pci0000:00/0000:00:1e.6/mmc_host/mmc0/mmc0:aaaa", "mmc");
        file("/devices/pci0000:00/0000:00:1e.6/mmc_host/mmc0/mmc0:aaaa/type", "SD");
        file("/devices/pci0000:00/0000:00:1e.6/mmc_host/mmc0/mmc0:aaaa/name", "SD32G");
    }
    QString root() const { return dir.path(); }
    DiskPaths paths() const { return {dir.path() + "/dev", dir.path()}; }

    // A whole disk at devpath with its device link one level up (two for block/<name>).
    void disk(const QString& devpath, qulonglong sectors, bool removable,
              const QString& model = {}) {
        file(devpath + "/size", QString::number(sectors));
        file(devpath + "/removable", removable ? "1" : "0");
        file(devpath + "/uevent",
             "MAJOR=8\nMINOR=16\nDEVNAME=" + name(devpath) + "\nDEVTYPE=disk\n");
        file(devpath + "/queue/logical_block_size", "512");
        const QString deviceDir = devpath.section('/', 0, -3);
        if (!model.isEmpty())
            file(deviceDir + "/model", model + "  ");
        QFile::link(dir.path() + deviceDir, dir.path() + devpath + "/device");
        QFile::link(dir.path() + devpath, dir.path() + "/class/block/" + name(devpath));
    }
    void partition(const QString& devpath, qulonglong sectors) {
        file(devpath + "/size", QString::number(sectors));
        file(devpath + "/partition", "1");
        file(devpath + "/uevent", "DEVNAME=" + name(devpath) + "\nDEVTYPE=partition\n");
        QFile::link(dir.path() + devpath, dir.path() + "/class/block/" + name(devpath));
    }
    void setSize(const QString& devpath, qulonglong sectors) {
        file(devpath + "/size", QString::number(sectors));
    }
    void remove(const QString& devpath) {
        QFile::remove(dir.path() + "/class/block/" + name(devpath));
        QDir(dir.path() + devpath).removeRecursively();
    }

private:
    static QString name(const QString& devpath) { return devpath.section('/', -1); }
    void mkdir(const QString& path) { QDir().mkpath(dir.path() + "/" + path); }
    void file(const QString& path, const QString& text) {
        QDir().mkpath(QFileInfo(dir.path() + path).path());
        QFile f(dir.path() + path);
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write(text.toUtf8() + "\n");
    }
    void subsystem(const QString& devpath, const QString& bus) {
        mkdir(devpath);
        QFile::link(dir.path() + "/bus/" + bus, dir.path() + devpath + "/subsystem");
    }
    QTemporaryDir dir;
};

// A kernel uevent datagram as recorded from NETLINK_KOBJECT_UEVENT.
QByteArray uevent(const QString& action, const QString& devpath, const QString& devtype) {
    const QString name = devpath.section('/', -1);
    QByteArray b = (action + "@" + devpath).toUtf8() + '\0';
    for (const QString& pair :
         {"ACTION=" + action, "DEVPATH=" + devpath, QStringLiteral("SUBSYSTEM=block"),
          "DEVNAME=" + name, "DEVTYPE=" + devtype, QStringLiteral("SEQNUM=4711")}) {
        b += pair.toUtf8() + '\0';
    }
    return b;
}

UeventMessage parsed(const QByteArray& bytes) {
    auto m = UeventMessage::parse(bytes.constData(), bytes.size());
    EXPECT_TRUE(m.has_value());
    return m.value_or(UeventMessage{});
}

struct Recorder {
    DiskEventSource::Handlers handlers() {
        return {[this](const DiskDescription& d) { whole.push_back(d); },
                [this](const DiskDescription& d) { partitions.push_back(d); },
                [this](const DiskDescription& d) { gone.push_back(d); }, [this] { ++completed; }};
    }
    QStringList names(const std::vector<DiskDescription>& list) const {
        QStringList out;
        for (const auto& d : list)
            out << d.string(kDADiskDescriptionMediaBSDNameKey).value_or("?");
        return out;
    }
    std::vector<DiskDescription> whole, partitions, gone;
    int completed = 0;
};

UniqueFd unusedSocket() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, fds), 0);
    ::close(fds[1]);
    return UniqueFd(fds[0]);
}

TEST(UeventMessageTest, ParsesKernelDatagramsAndRejectsOthers) {
    const auto m = parsed(uevent("add", kUsbDisk, "disk"));
    EXPECT_EQ(m.action, "add");
    EXPECT_EQ(m.devpath, kUsbDisk);
    EXPECT_EQ(m.subsystem(), "block");
    EXPECT_EQ(m.sysname(), "sdb");
    EXPECT_TRUE(m.isWholeDisk());

    const QByteArray libudev("libudev\0\xfe\xed\xca\xfe", 12);
    EXPECT_FALSE(UeventMessage::parse(libudev.constData(), libudev.size()));
    EXPECT_FALSE(UeventMessage::parse("garbage", 7));
    EXPECT_FALSE(UeventMessage::parse("@", 1));
    EXPECT_FALSE(UeventMessage::parse("", 0));
    QByteArray mismatch = uevent("add", kUsbDisk, "disk");
    mismatch.replace("ACTION=add", "ACTION=rem");
    EXPECT_FALSE(UeventMessage::parse(mismatch.constData(), mismatch.size()));
    // No trailing NUL and a pair without "=" are tolerated.
    const QByteArray ragged("remove@/devices/x/block/sdq\0SUBSYSTEM=block\0junk\0DEVTYPE=disk", 62);
    const auto r = parsed(ragged);
    EXPECT_EQ(r.sysname(), "sdq");
    EXPECT_TRUE(r.isWholeDisk());
}

TEST(UdevDiskSourceTest, EnumerationDescribesUsbMmcAndInternalDisks) {
    FakeSysfs sys;
    sys.disk(kUsbDisk, 15663104, true, "Cruzer Blade");
    sys.partition(QString(kUsbDisk) + "/sdb1", 15661056);
    sys.disk(kMmcDisk, 62333952, false);
    sys.partition(QString(kMmcDisk) + "/mmcblk0p1", 62332928);
    sys.disk(kAtaDisk, 1000215216, false, "Samsung SSD 860");
    sys.disk("/devices/virtual/block/loop3", 0, false);  // detached: no medium

    UdevDiskSource source(sys.paths(), unusedSocket());
    Recorder r;
    source.enumerate(r.handlers());
    EXPECT_EQ(r.names(r.whole), (QStringList{"mmcblk0", "sda", "sdb"}));
    EXPECT_EQ(r.names(r.partitions), (QStringList{"mmcblk0p1", "sdb1"}));

    const DiskDescription& mmc = r.whole[0];
    EXPECT_EQ(mmc.string(kDADiskDescriptionDeviceProtocolKey), "Secure Digital");
    EXPECT_EQ(mmc.string(kDADiskDescriptionMediaNameKey), "SD32G");
    EXPECT_EQ(mmc.boolean(kDADiskDescriptionMediaRemovableKey), false);
    EXPECT_EQ(mmc.boolean(kDADiskDescriptionMediaEjectableKey), true);

    const DiskDescription& ata = r.whole[1];
    EXPECT_FALSE(ata.string(kDADiskDescriptionDeviceProtocolKey));
    EXPECT_EQ(ata.boolean(kDADiskDescriptionMediaEjectableKey), false);

    const DiskDescription& usb = r.whole[2];
    EXPECT_EQ(usb.string(kDADiskDescriptionDeviceProtocolKey), "USB");
    EXPECT_EQ(usb.string(kDADiskDescriptionDeviceModelKey), "Cruzer Blade");
    EXPECT_EQ(usb.string(kDADiskDescriptionDevicePathKey), kUsbDisk);
    EXPECT_EQ(usb.number(kDADiskDescriptionMediaSizeKey), 15663104ull * 512);
    EXPECT_EQ(usb.number(kDADiskDescriptionMediaBlockSizeKey), 512u);
    EXPECT_EQ(usb.boolean(kDADiskDescriptionMediaWholeKey), true);
    EXPECT_EQ(usb.boolean(kDADiskDescriptionMediaRemovableKey), true);

    const DiskDescription& sdb1 = r.partitions[1];
    EXPECT_EQ(sdb1.boolean(kDADiskDescriptionMediaWholeKey), false);
    EXPECT_EQ(sdb1.number(kDADiskDescriptionMediaBlockSizeKey), 512u);
    EXPECT_EQ(sdb1.number(kDADiskDescriptionMediaSizeKey), 15661056ull * 512);
    // No node to probe and no udev data: no volume type is invented.
    EXPECT_FALSE(sdb1.string(kDADiskDescriptionVolumeTypeKey));
}

TEST(UdevDiskSourceTest, RecordedEventsAddChangeAndRemove) {
    FakeSysfs sys;
    UdevDiskSource source(sys.paths(), unusedSocket());
    Recorder r;
    source.enumerate(r.handlers());
    EXPECT_TRUE(r.whole.empty());

    // A card reader without a card: present in sysfs with size 0, not reported.
    sys.disk(kUsbDisk, 0, true, "STORAGE DEVICE");
    source.handleMessage(parsed(uevent("add", kUsbDisk, "disk")), r.handlers());
    EXPECT_TRUE(r.whole.empty());
    // A card goes in: the partitions are added, then the disk changes.
    sys.partition(QString(kUsbDisk) + "/sdb1", 2048);
    source.handleMessage(parsed(uevent("add", QString(kUsbDisk) + "/sdb1", "partition")),
                         r.handlers());
    sys.setSize(kUsbDisk, 4096);
    source.handleMessage(parsed(uevent("change", kUsbDisk, "disk")), r.handlers());
    source.handleMessage(parsed(uevent("change", kUsbDisk, "disk")), r.handlers());
    source.handleMessage(parsed(uevent("add", QString(kUsbDisk) + "/sdb1", "partition")),
                         r.handlers());
    EXPECT_EQ(r.names(r.whole), QStringList{"sdb"});
    EXPECT_EQ(r.names(r.partitions), QStringList{"sdb1"});

    // The card comes out: the disk's size drops to 0.
    sys.remove(QString(kUsbDisk) + "/sdb1");
    source.handleMessage(parsed(uevent("remove", QString(kUsbDisk) + "/sdb1", "partition")),
                         r.handlers());
    sys.setSize(kUsbDisk, 0);
    source.handleMessage(parsed(uevent("change", kUsbDisk, "disk")), r.handlers());
    ASSERT_EQ(r.gone.size(), 2u);
    EXPECT_EQ(r.gone[0].boolean(kDADiskDescriptionMediaWholeKey), false);
    EXPECT_EQ(r.names({r.gone[1]}), QStringList{"sdb"});
    EXPECT_EQ(r.gone[1].boolean(kDADiskDescriptionMediaWholeKey), true);

    // Unplugged reader: nothing more to report; a disk removed without media stays quiet.
    sys.remove(kUsbDisk);
    source.handleMessage(parsed(uevent("remove", kUsbDisk, "disk")), r.handlers());
    EXPECT_EQ(r.gone.size(), 2u);

    // An event for a node that vanished before it could be read is skipped quietly.
    source.handleMessage(parsed(uevent("add", kMmcDisk, "disk")), r.handlers());
    EXPECT_EQ(r.whole.size(), 1u);
    // Other subsystems are not disks.
    QByteArray usbEvent = uevent("add", "/devices/pci0000:00/usb1/1-3", "usb_device");
    usbEvent.replace("SUBSYSTEM=block", "SUBSYSTEM=usb");
    source.handleMessage(parsed(usbEvent), r.handlers());
    EXPECT_EQ(r.whole.size(), 1u);
}

TEST(UdevDiskSourceTest, RescanAfterLostEventsCatchesUp) {
    FakeSysfs sys;
    sys.disk(kUsbDisk, 4096, true, "Flash");
    UdevDiskSource source(sys.paths(), unusedSocket());
    Recorder r;
    source.enumerate(r.handlers());
    ASSERT_EQ(r.names(r.whole), QStringList{"sdb"});
    // Meanwhile (events lost): sdb was unplugged and a card with one partition went in.
    sys.remove(kUsbDisk);
    sys.disk(kMmcDisk, 8192, false);
    sys.partition(QString(kMmcDisk) + "/mmcblk0p1", 4096);
    source.resynchronise(r.handlers());
    EXPECT_EQ(r.names(r.whole), (QStringList{"sdb", "mmcblk0"}));
    EXPECT_EQ(r.names(r.partitions), QStringList{"mmcblk0p1"});
    EXPECT_EQ(r.names(r.gone), QStringList{"sdb"});
    // Nothing changed since: a second rescan reports nothing.
    source.resynchronise(r.handlers());
    EXPECT_EQ(r.whole.size() + r.partitions.size() + r.gone.size(), 4u);
}

TEST(UdevDiskSourceTest, AChangeOfWhatTheSidebarShowsIsReportedAgain) {
    FakeSysfs sys;
    sys.disk(kUsbDisk, 4096, true, "Flash");
    sys.partition(QString(kUsbDisk) + "/sdb1", 2048);
    UdevDiskSource source(sys.paths(), unusedSocket());
    Recorder r;
    source.enumerate(r.handlers());
    ASSERT_EQ(r.names(r.whole), QStringList{"sdb"});
    ASSERT_EQ(r.names(r.partitions), QStringList{"sdb1"});
    const auto partitionEvent = [&](const QString& type, const QString& label) {
        UeventMessage m = parsed(uevent("change", QString(kUsbDisk) + "/sdb1", "partition"));
        m.properties.insert("ID_FS_TYPE", type);
        m.properties.insert("ID_FS_LABEL_ENC", label);
        source.handleMessage(m, r.handlers());
    };
    struct Step {
        const char* what;
        std::function<void()> act;
        QStringList whole, partitions;  // reported by this step
    } steps[] = {
        {"nothing changed",
         [&] { source.handleMessage(parsed(uevent("change", kUsbDisk, "disk")), r.handlers()); },
         {},
         {}},
        {"formatted as ext4", [&] { partitionEvent("ext4", "DATA"); }, {}, {"sdb1"}},
        {"the same event again", [&] { partitionEvent("ext4", "DATA"); }, {}, {}},
        {"relabelled", [&] { partitionEvent("ext4", "PHOTOS"); }, {}, {"sdb1"}},
        // A new size: the disk again, and its partitions after it (they start anew).
        {"resized",
         [&] {
             sys.setSize(kUsbDisk, 8192);
             source.handleMessage(parsed(uevent("change", kUsbDisk, "disk")), r.handlers());
         },
         {"sdb"},
         {"sdb1"}},
    };
    for (const Step& step : steps) {
        const auto wholeBefore = r.whole.size();
        const auto partitionsBefore = r.partitions.size();
        step.act();
        EXPECT_EQ(
            r.names(std::vector<DiskDescription>(r.whole.begin() + wholeBefore, r.whole.end())),
            step.whole)
            << step.what;
        EXPECT_EQ(r.names(std::vector<DiskDescription>(r.partitions.begin() + partitionsBefore,
                                                       r.partitions.end())),
                  step.partitions)
            << step.what;
    }
    EXPECT_EQ(r.whole.back().number(kDADiskDescriptionMediaSizeKey), 8192ull * 512);
    EXPECT_TRUE(r.gone.empty());
}

TEST(UdevDiskSourceTest, UdevPropertiesWinOverSysfs) {
    FakeSysfs sys;
    sys.disk(kUsbDisk, 4096, true, "sysfs model");
    sys.partition(QString(kUsbDisk) + "/sdb1", 2048);
    UdevDiskSource source(sys.paths(), unusedSocket());
    Recorder r;
    UeventMessage m = parsed(uevent("add", QString(kUsbDisk) + "/sdb1", "partition"));
    m.properties.insert("ID_MODEL_ENC", "Card\\x20Reader\\x20\\x22X\\x22");
    m.properties.insert("ID_FS_TYPE", "vfat");
    m.properties.insert("ID_FS_LABEL_ENC", "A\\x2fB\\x01\\xff");
    m.properties.insert("ID_PART_ENTRY_SCHEME", "dos");
    m.properties.insert("ID_PART_ENTRY_TYPE", "0xc");
    source.handleMessage(m, r.handlers());
    ASSERT_EQ(r.partitions.size(), 1u);
    const DiskDescription& d = r.partitions[0];
    EXPECT_EQ(d.string(kDADiskDescriptionDeviceModelKey), "Card Reader \"X\"");
    EXPECT_EQ(d.string(kDADiskDescriptionVolumeTypeKey), "msdos");
    EXPECT_EQ(d.string(kDADiskDescriptionVolumeNameKey), QString("A/B") + QChar(0xFFFD));
    EXPECT_EQ(d.string(kDADiskDescriptionMediaContentKey), "DOS_FAT_32");
}

TEST(UdevDiskSourceTest, ThreadDeliversToTheDelegateOnTheAppThread) {
    test::ensureApplication();
    FakeSysfs sys;
    sys.disk(kUsbDisk, 4096, true, "Flash");
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, fds), 0);
    UniqueFd writer(fds[1]);
    auto source = std::make_unique<UdevDiskSource>(sys.paths(), UniqueFd(fds[0]));
    DiskDetectionService service(std::move(source), sys.paths());
    test::RecordingDelegate delegate;
    service.setDelegate(&delegate);
    bool enumerated = false;
    QObject::connect(&service, &DiskDetectionService::enumerationCompleted,
                     [&] { enumerated = true; });
    service.startMonitoring();
    ASSERT_TRUE(test::spinUntil([&] { return enumerated; }));
    ASSERT_EQ(delegate.events.size(), 1u);

    sys.partition(QString(kUsbDisk) + "/sdb1", 2048);
    for (const QByteArray& datagram : {uevent("add", QString(kUsbDisk) + "/sdb1", "partition"),
                                       uevent("remove", QString(kUsbDisk) + "/sdb1", "partition"),
                                       uevent("remove", kUsbDisk, "disk")}) {
        ASSERT_EQ(::send(writer.get(), datagram.constData(), datagram.size(), 0), datagram.size());
    }
    ASSERT_TRUE(test::spinUntil([&] { return delegate.events.size() == 3; }));
    EXPECT_EQ(delegate.events[1].kind, Event::Kind::updated);
    EXPECT_EQ(delegate.events[1].device.partitions.size(), 1);
    EXPECT_EQ(delegate.events[2].kind, Event::Kind::removed);
    EXPECT_EQ(delegate.events[2].bsdName, "sdb");
    for (const Event& e : delegate.events)
        EXPECT_TRUE(e.onAppThread);
}

}  // namespace
}  // namespace quorvale::disk
