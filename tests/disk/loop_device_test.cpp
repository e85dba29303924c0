// A real loop device with partitions, seen by enumeration and by live kernel events.
// Needs root and loop devices; skipped where losetup is impossible.

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QProcess>

#include "disk/partition_health.h"
#include "disk/udev_disk_source.h"
#include "disk_test_support.h"

namespace quorvale::disk {
namespace {

class LoopDevice {
public:
    // `readOnly`: attached with `losetup -r`, as a card with its write-protect switch on.
    explicit LoopDevice(const QString& image, bool readOnly = false) {
        QProcess losetup;
        QStringList args{"--find", "--show", "--partscan", image};
        if (readOnly)
            args.prepend("--read-only");
        losetup.start("losetup", args);
        if (!losetup.waitForFinished(30000) || losetup.exitCode() != 0)
            return;
        node = QString::fromUtf8(losetup.readAllStandardOutput()).trimmed();
        name = QFileInfo(node).fileName();
        // Kernels without the partition parsers leave the table to user space.
        if (!QFileInfo::exists("/sys/class/block/" + name + "p1"))
            test::shellSucceeds("partx --add " + node.toStdString());
    }
    ~LoopDevice() {
        if (!node.isEmpty())
            test::shellSucceeds("losetup --detach " + node.toStdString());
    }
    QString node;
    QString name;
};

struct Recorder {
    DiskEventSource::Handlers handlers() {
        auto add = [this](const DiskDescription& d) {
            QMutexLocker lock(&mutex);
            events.push_back(d);
        };
        return {add,
                add,
                [this](const DiskDescription& d) {
                    QMutexLocker lock(&mutex);
                    gone.push_back(d);
                },
                {}};
    }
    std::optional<DiskDescription> find(const QString& name, bool disappeared = false) {
        QMutexLocker lock(&mutex);
        for (const DiskDescription& d : disappeared ? gone : events) {
            if (d.string(kDADiskDescriptionMediaBSDNameKey) == name)
                return d;
        }
        return std::nullopt;
    }
    QMutex mutex;
    std::vector<DiskDescription> events, gone;
};

class LoopDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root for losetup";
        ASSERT_TRUE(dir.isValid());
        image = dir.path() + "/loop.img";
        const std::string p = image.toStdString();
        ASSERT_TRUE(test::shellSucceeds(
            "truncate -s 64M " + p +
            " && printf 'label: dos\\nstart=2048,size=69632,type=c\\n"
            "start=71680,type=83\\n' | sfdisk -q " +
            p + " && mkfs.vfat -F 32 -s 1 -n LOOPFAT --offset 2048 " + p + " 34816" +
            " && mkfs.ext4 -q -F -L looproot -E offset=" + std::to_string(71680ull * 512) + " " +
            p + " 28M"));
    }
    void expectPartitions(Recorder& r, const QString& name) {
        const auto fat = r.find(name + "p1");
        ASSERT_TRUE(fat.has_value());
        EXPECT_EQ(fat->boolean(kDADiskDescriptionMediaWholeKey), false);
        EXPECT_EQ(fat->number(kDADiskDescriptionMediaSizeKey), 69632ull * 512);
        EXPECT_EQ(fat->string(kDADiskDescriptionVolumeTypeKey), "msdos");
        EXPECT_EQ(fat->string(kDADiskDescriptionVolumeNameKey), "LOOPFAT");
        EXPECT_EQ(fat->string(kDADiskDescriptionMediaContentKey), "DOS_FAT_32");
        const auto ext = r.find(name + "p2");
        ASSERT_TRUE(ext.has_value());
        EXPECT_EQ(ext->string(kDADiskDescriptionVolumeTypeKey), "ext4");
        EXPECT_EQ(ext->string(kDADiskDescriptionVolumeNameKey), "looproot");
        EXPECT_EQ(ext->string(kDADiskDescriptionMediaContentKey), "Linux");
    }
    QTemporaryDir dir;
    QString image;
};

TEST_F(LoopDeviceTest, EnumerationSeesTheLoopDeviceAndItsPartitions) {
    LoopDevice loop(image);
    if (loop.node.isEmpty())
        GTEST_SKIP() << "losetup is not possible here";
    if (!QFileInfo::exists("/sys/class/block/" + loop.name + "p2"))
        GTEST_SKIP() << "the kernel shows no partitions of loop devices";
    UdevDiskSource source;
    Recorder r;
    source.enumerate(r.handlers());
    const auto whole = r.find(loop.name);
    ASSERT_TRUE(whole.has_value());
    EXPECT_EQ(whole->boolean(kDADiskDescriptionMediaWholeKey), true);
    EXPECT_EQ(whole->number(kDADiskDescriptionMediaSizeKey), 64ull << 20);
    // A loop device is neither removable nor on a removable bus.
    EXPECT_EQ(whole->boolean(kDADiskDescriptionMediaEjectableKey), false);
    EXPECT_EQ(whole->string(kDADiskDescriptionDevicePathKey),
              "/devices/virtual/block/" + loop.name);
    expectPartitions(r, loop.name);
}

TEST_F(LoopDeviceTest, AWriteProtectedDiskIsReportedOnTheHealthOfItsPartitions) {
    for (const bool readOnly : {true, false}) {
        SCOPED_TRACE(readOnly ? "losetup -r" : "read-write");
        LoopDevice loop(image, readOnly);
        if (loop.node.isEmpty())
            GTEST_SKIP() << "losetup is not possible here";
        if (!test::spinUntil([&] { return QFileInfo::exists("/dev/" + loop.name + "p2"); }))
            GTEST_SKIP() << "no partition device nodes for loop devices here";
        const PartitionHealth health = PartitionHealthReader().read(loop.name + "p2");
        ASSERT_TRUE(health.superblock) << health.problem.toStdString();
        EXPECT_EQ(health.superblock->label, "looproot");
        EXPECT_EQ(health.writeProtected, readOnly);
        EXPECT_EQ(PartitionHealthReader().isWriteProtected(loop.name), readOnly);
    }
}

TEST_F(LoopDeviceTest, LiveKernelEventsReportAttachAndDetach) {
    if (UdevDiskSource::udevDaemonRunning())
        GTEST_SKIP() << "the udev daemon's events are not checked here";
    auto source = std::make_unique<UdevDiskSource>();
    Recorder r;
    source->start(r.handlers());
    QString name;
    {
        LoopDevice loop(image);
        if (loop.node.isEmpty())
            GTEST_SKIP() << "losetup is not possible here";
        name = loop.name;
        ASSERT_TRUE(test::spinUntil([&] { return r.find(name + "p2").has_value(); }))
            << "no partition events for " << name.toStdString();
        ASSERT_TRUE(r.find(name).has_value());
        expectPartitions(r, name);
    }
    ASSERT_TRUE(test::spinUntil([&] { return r.find(name, true).has_value(); }));
    EXPECT_EQ(r.find(name, true)->boolean(kDADiskDescriptionMediaWholeKey), true);
    source.reset();  // joins the thread
}

}  // namespace
}  // namespace quorvale::disk
