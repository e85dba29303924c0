// The deciding logic of disk detection, fed description dictionaries directly.

#include <gtest/gtest.h>

#include <qcoro/qcorotask.h>
#include <QDir>
#include <QFile>

#include "disk/disk_detection_service.h"
#include "disk/disk_error.h"
#include "disk_test_support.h"

namespace quorvale::disk {
namespace {

using model::FilesystemType;
using model::MediaType;
using test::Event;

const QString kCategory = QStringLiteral("com.quorvale.app.DiskDetection");

// A source that never reports anything: the tests call the handlers themselves.
class SilentSource : public DiskEventSource {
public:
    explicit SilentSource(int* starts) : starts(starts) {}
    void start(Handlers) override { ++*starts; }
    int* starts;
};

DiskDescription whole(const QString& bsd, QVariantMap extra = {}) {
    QVariantMap m{{kDADiskDescriptionMediaBSDNameKey, bsd},
                  {kDADiskDescriptionMediaWholeKey, true},
                  {kDADiskDescriptionMediaRemovableKey, true},
                  {kDADiskDescriptionMediaEjectableKey, true},
                  {kDADiskDescriptionDeviceProtocolKey, QStringLiteral("USB")},
                  {kDADiskDescriptionMediaNameKey, QStringLiteral("Flash Disk")},
                  {kDADiskDescriptionMediaSizeKey, QVariant::fromValue<qulonglong>(8000000000)}};
    for (auto it = extra.cbegin(); it != extra.cend(); ++it) {
        if (it->isValid())
            m.insert(it.key(), it.value());
        else
            m.remove(it.key());
    }
    return DiskDescription(m);
}

DiskDescription partition(const QString& bsd, QVariantMap extra = {}) {
    QVariantMap m{{kDADiskDescriptionMediaBSDNameKey, bsd},
                  {kDADiskDescriptionMediaWholeKey, false},
                  {kDADiskDescriptionMediaSizeKey, QVariant::fromValue<qulonglong>(1048576)},
                  {kDADiskDescriptionMediaBlockSizeKey, 512}};
    m.insert(extra);
    return DiskDescription(m);
}

class DiskDetectionServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::ensureApplication();
        ASSERT_TRUE(devices.isValid());
        service = std::make_unique<DiskDetectionService>(
            std::make_unique<SilentSource>(&starts),
            DiskPaths{devices.path(), devices.path() + "/sys"});
        service->setDelegate(&delegate);
    }
    // Delivers what the handlers posted to the GUI thread.
    const std::vector<Event>& delivered() {
        QCoreApplication::processEvents();
        return delegate.events;
    }

    QTemporaryDir devices;
    int starts = 0;
    test::RecordingDelegate delegate;
    std::unique_ptr<DiskDetectionService> service;
};

TEST_F(DiskDetectionServiceTest, SecureDigitalReaderWithEmptyModelIsAccepted) {
    test::LogCapture log;
    service->wholeDiskAppeared(
        whole("mmcblk0", {{kDADiskDescriptionDeviceProtocolKey, "Secure Digital"},
                          {kDADiskDescriptionMediaRemovableKey, false},
                          {kDADiskDescriptionDeviceModelKey, ""},
                          {kDADiskDescriptionMediaNameKey, "SD32G"}}));
    ASSERT_EQ(delivered().size(), 1u);
    const model::Device& d = delegate.events[0].device;
    EXPECT_EQ(d.id, "mmcblk0");
    EXPECT_EQ(d.bsdName, "mmcblk0");
    EXPECT_EQ(d.name, "SD32G");
    EXPECT_EQ(d.size, 8000000000u);
    EXPECT_EQ(d.mediaType, MediaType::sdCard);
    EXPECT_TRUE(d.partitions.isEmpty());
    EXPECT_FALSE(d.isEjecting);
    EXPECT_TRUE(delegate.events[0].onAppThread);
    EXPECT_TRUE(log.tagged().contains(kCategory +
                                      "|info|Whole disk appeared: mmcblk0 (SD32G, 8000000000 "
                                      "bytes, protocol=Secure Digital)"));
}

TEST_F(DiskDetectionServiceTest, NeitherRemovableNorEjectableIsDroppedSilently) {
    test::LogCapture log;
    service->wholeDiskAppeared(whole("sda", {{kDADiskDescriptionDeviceProtocolKey, "SATA"},
                                             {kDADiskDescriptionMediaRemovableKey, false},
                                             {kDADiskDescriptionMediaEjectableKey, false}}));
    EXPECT_TRUE(delivered().empty());
    EXPECT_EQ(log.count(kCategory), 0);
}

TEST_F(DiskDetectionServiceTest, DiskImageIsSkippedUnlessKnownRemovable) {
    test::LogCapture log;
    service->wholeDiskAppeared(
        whole("sdc", {{kDADiskDescriptionDeviceProtocolKey, "Virtual Interface"},
                      {kDADiskDescriptionDeviceModelKey, "Disk Image"},
                      {kDADiskDescriptionMediaNameKey, "Apple Disk Image"}}));
    EXPECT_TRUE(delivered().empty());
    EXPECT_TRUE(
        log.tagged().contains(kCategory +
                              "|debug|Skipping virtual/internal disk: sdc (Apple Disk Image, "
                              "protocol=Virtual Interface, model=disk image)"));
    // The same image on the USB protocol counts as a known removable disk.
    service->wholeDiskAppeared(whole("sdd", {{kDADiskDescriptionDeviceModelKey, "Disk Image"}}));
    ASSERT_EQ(delivered().size(), 1u);
    EXPECT_EQ(delegate.events[0].device.bsdName, "sdd");
}

TEST_F(DiskDetectionServiceTest, SimulatorIsSkippedUnlessKnownRemovable) {
    const QVariantMap simulator{{kDADiskDescriptionDeviceProtocolKey, "PCI-Express"},
                                {kDADiskDescriptionMediaNameKey, "iOS SIMULATOR Volume"}};
    service->wholeDiskAppeared(whole("sde", simulator));
    EXPECT_TRUE(delivered().empty());
    QVariantMap named = simulator;
    named.insert(kDADiskDescriptionDeviceModelKey, "Mass Storage");
    service->wholeDiskAppeared(whole("sdf", named));
    ASSERT_EQ(delivered().size(), 1u);
    EXPECT_EQ(delegate.events[0].device.bsdName, "sdf");
    // Not known removable and not ejectable: dropped even without the word.
    service->wholeDiskAppeared(whole("sdg", {{kDADiskDescriptionDeviceProtocolKey, "SATA"},
                                             {kDADiskDescriptionMediaEjectableKey, false}}));
    EXPECT_EQ(delivered().size(), 1u);
}

TEST_F(DiskDetectionServiceTest, OnlyTheChosenInternalDisksPassTheRemovableFilter) {
    const QVariantMap loop{{kDADiskDescriptionDeviceProtocolKey, QVariant()},
                           {kDADiskDescriptionMediaNameKey, QVariant()},
                           {kDADiskDescriptionMediaRemovableKey, false},
                           {kDADiskDescriptionMediaEjectableKey, false}};
    service->setAlsoAccepted([](const DiskDescription& d) {
        return d.string(kDADiskDescriptionMediaBSDNameKey) == QStringLiteral("loop7");
    });
    service->wholeDiskAppeared(whole("loop6", loop));
    service->wholeDiskAppeared(whole("loop7", loop));
    ASSERT_EQ(delivered().size(), 1u);
    EXPECT_EQ(delegate.events[0].device.bsdName, "loop7");
}

TEST_F(DiskDetectionServiceTest, APartitionReportedAgainReplacesItsRecord) {
    service->wholeDiskAppeared(whole("sdb"));
    service->partitionAppeared(partition("sdb1", {{kDADiskDescriptionVolumeTypeKey, "msdos"}}));
    service->partitionAppeared(partition("sdb2"));
    // sdb1 was formatted again, as ext4.
    service->partitionAppeared(partition("sdb1", {{kDADiskDescriptionVolumeTypeKey, "ext4"},
                                                  {kDADiskDescriptionVolumeNameKey, "NEW"}}));
    const auto& events = delivered();
    ASSERT_EQ(events.size(), 4u);
    const auto& partitions = events[3].device.partitions;
    ASSERT_EQ(partitions.size(), 2);
    EXPECT_EQ(partitions[0].bsdName, "sdb1");
    EXPECT_EQ(partitions[0].filesystemType, FilesystemType::ext4);
    EXPECT_EQ(partitions[0].label, "NEW");
    EXPECT_EQ(partitions[1].bsdName, "sdb2");
}

TEST_F(DiskDetectionServiceTest, PartitionsBeforeTheirDiskAreQueuedThenArriveInOrder) {
    test::LogCapture log;
    service->partitionAppeared(partition("sdb1", {{kDADiskDescriptionVolumeNameKey, "BOOT"},
                                                  {kDADiskDescriptionVolumeTypeKey, "msdos"}}));
    service->partitionAppeared(partition("sdb2", {{kDADiskDescriptionVolumeTypeKey, "ext4"}}));
    EXPECT_TRUE(delivered().empty());
    EXPECT_TRUE(log.tagged().contains(kCategory +
                                      "|debug|Queuing partition sdb1 — parent sdb not yet seen"));
    EXPECT_TRUE(log.tagged().contains(kCategory +
                                      "|debug|Queuing partition sdb2 — parent sdb not yet seen"));

    service->wholeDiskAppeared(whole("sdb"));
    const auto& events = delivered();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].device.partitions.size(), 0);
    ASSERT_EQ(events[1].device.partitions.size(), 1);
    EXPECT_EQ(events[1].device.partitions[0].bsdName, "sdb1");
    ASSERT_EQ(events[2].device.partitions.size(), 2);
    EXPECT_EQ(events[2].device.partitions[1].bsdName, "sdb2");

    const model::Partition& boot = events[2].device.partitions[0];
    EXPECT_EQ(boot.id, "sdb1");
    EXPECT_EQ(boot.label, QString("BOOT"));
    EXPECT_EQ(boot.size, 1048576u);
    EXPECT_EQ(boot.offset, 512u);
    EXPECT_EQ(boot.filesystemType, FilesystemType::fat32);
    EXPECT_FALSE(boot.isMounted);
    EXPECT_EQ(events[2].device.partitions[1].filesystemType, FilesystemType::ext4);
    EXPECT_TRUE(
        log.tagged().contains(kCategory + "|info|Partition appeared: sdb2 (ext4, 1048576 bytes)"));

    // The queue was emptied: a second acceptance of sdb starts again with no partitions.
    service->wholeDiskAppeared(whole("sdb"));
    ASSERT_EQ(delivered().size(), 4u);
    EXPECT_TRUE(delegate.events[3].device.partitions.isEmpty());
}

TEST_F(DiskDetectionServiceTest, PartitionNamesOfOtherFormsFindTheirDisk) {
    service->wholeDiskAppeared(whole("mmcblk0"));
    service->wholeDiskAppeared(whole("nvme0n1"));
    service->partitionAppeared(partition("mmcblk0p1"));
    service->partitionAppeared(partition("nvme0n1p2"));
    const auto& events = delivered();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[2].device.bsdName, "mmcblk0");
    EXPECT_EQ(events[3].device.bsdName, "nvme0n1");
    EXPECT_EQ(events[3].device.partitions[0].bsdName, "nvme0n1p2");
}

TEST_F(DiskDetectionServiceTest, MediaClassificationOrder) {
    struct Case {
        QVariant mediaName;
        QVariant devicePath;
        MediaType expected;
    };
    const std::vector<Case> cases = {
        {"USB SD Reader", "/devices/pci0000:00/usb1/1-2", MediaType::sdCard},
        {"Flash Card", {}, MediaType::sdCard},
        {"Mass Storage", "/devices/platform/cardreader/usb1", MediaType::sdCard},
        {"USB Flash", {}, MediaType::usbDrive},
        {"Mass Storage", "/devices/pci0000:00/usb1/1-2", MediaType::usbDrive},
        {"Mass Storage", "/devices/pci0000:00/ata1", MediaType::sdCard},
        {{}, {}, MediaType::sdCard},
        {42, 17, MediaType::sdCard},  // wrong kinds count as absent
    };
    for (const Case& c : cases) {
        QVariantMap m;
        if (c.mediaName.isValid())
            m.insert(kDADiskDescriptionMediaNameKey, c.mediaName);
        if (c.devicePath.isValid())
            m.insert(kDADiskDescriptionDevicePathKey, c.devicePath);
        EXPECT_EQ(DiskDetectionService::classifyMedia(DiskDescription(m)), c.expected)
            << c.mediaName.toString().toStdString() << " " << c.devicePath.toString().toStdString();
    }
}

TEST_F(DiskDetectionServiceTest, FilesystemClassificationFallbacks) {
    // A node with the ext superblock magic, for the superblock check.
    QFile node(devices.path() + "/sdb3");
    ASSERT_TRUE(node.open(QIODevice::WriteOnly));
    QByteArray bytes(2048, '\0');
    bytes[1080] = char(0x53);
    bytes[1081] = char(0xEF);
    node.write(bytes);
    node.close();

    struct Case {
        QString bsd;
        QVariantMap values;
        FilesystemType expected;
    };
    const std::vector<Case> cases = {
        {"sdb9", {{kDADiskDescriptionVolumeTypeKey, "Ext3"}}, FilesystemType::ext4},
        {"sdb9", {{kDADiskDescriptionVolumeTypeKey, "EXT2"}}, FilesystemType::ext4},
        {"sdb9", {{kDADiskDescriptionVolumeTypeKey, "MSDOS"}}, FilesystemType::fat32},
        {"sdb9", {{kDADiskDescriptionVolumeTypeKey, "exfat"}}, FilesystemType::exfat},
        {"sdb9", {{kDADiskDescriptionVolumeTypeKey, "ntfs"}}, FilesystemType::ntfs},
        {"sdb9", {{kDADiskDescriptionVolumeTypeKey, "hfs"}}, FilesystemType::hfsPlus},
        {"sdb9", {{kDADiskDescriptionVolumeTypeKey, "apfs"}}, FilesystemType::apfs},
        // Unreadable node: the media content decides.
        {"sdb9", {{kDADiskDescriptionMediaContentKey, "Linux"}}, FilesystemType::ext4},
        {"sdb9", {{kDADiskDescriptionMediaContentKey, "DOS_FAT_32"}}, FilesystemType::fat32},
        {"sdb9", {{kDADiskDescriptionMediaContentKey, "Windows_FAT_16"}}, FilesystemType::fat32},
        {"sdb9", {{kDADiskDescriptionMediaContentKey, "Apple_HFS"}}, FilesystemType::unknown},
        {"sdb9", {{kDADiskDescriptionMediaContentKey, "linux"}}, FilesystemType::unknown},
        {"sdb9", {}, FilesystemType::unknown},
        // An unknown volume type falls through to the superblock check.
        {"sdb3", {{kDADiskDescriptionVolumeTypeKey, "xfs"}}, FilesystemType::ext4},
        {"sdb3", {{kDADiskDescriptionMediaContentKey, "DOS_FAT_32"}}, FilesystemType::ext4},
        {"sdb9", {{kDADiskDescriptionVolumeTypeKey, 4}}, FilesystemType::unknown},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(service->classifyFilesystem(partition(c.bsd, c.values)), c.expected)
            << c.bsd.toStdString() << " " << c.values.firstKey().toStdString();
    }
}

TEST_F(DiskDetectionServiceTest, OnlyTheWholeDisksDisappearanceIsReported) {
    test::LogCapture log;
    service->wholeDiskAppeared(whole("sdb"));
    service->partitionAppeared(partition("sdb1"));
    ASSERT_EQ(delivered().size(), 2u);

    service->diskDisappeared(partition("sdb1"));
    service->diskDisappeared(DiskDescription({{kDADiskDescriptionMediaBSDNameKey, "sdb1"}}));
    EXPECT_EQ(delivered().size(), 2u);
    // The partition's record stays: the next partition joins it.
    service->partitionAppeared(partition("sdb2"));
    ASSERT_EQ(delivered().size(), 3u);
    EXPECT_EQ(delegate.events[2].device.partitions.size(), 2);

    service->diskDisappeared(whole("sdb"));
    ASSERT_EQ(delivered().size(), 4u);
    EXPECT_EQ(delegate.events[3].kind, Event::Kind::removed);
    EXPECT_EQ(delegate.events[3].bsdName, "sdb");
    EXPECT_TRUE(log.tagged().contains(kCategory + "|info|Disk disappeared: sdb"));
    // Gone from the known disks: its partitions queue again.
    service->partitionAppeared(partition("sdb1"));
    EXPECT_EQ(delivered().size(), 4u);
}

TEST_F(DiskDetectionServiceTest, WronglyTypedValuesCountAsAbsent) {
    service->wholeDiskAppeared(whole("sdb", {{kDADiskDescriptionMediaSizeKey, "8000"},
                                             {kDADiskDescriptionMediaNameKey, 7},
                                             {kDADiskDescriptionVolumeNameKey, QVariant()}}));
    ASSERT_EQ(delivered().size(), 1u);
    EXPECT_EQ(delegate.events[0].device.size, 0u);
    EXPECT_EQ(delegate.events[0].device.name, "sdb");  // falls back to the BSD name

    // Removable given as the number 1, ejectable absent: neither counts.
    service->wholeDiskAppeared(whole("sdc", {{kDADiskDescriptionMediaRemovableKey, 1},
                                             {kDADiskDescriptionMediaEjectableKey, QVariant()}}));
    service->partitionAppeared(DiskDescription({{kDADiskDescriptionMediaBSDNameKey, 5}}));
    service->diskDisappeared(DiskDescription(
        {{kDADiskDescriptionMediaBSDNameKey, "sdb"}, {kDADiskDescriptionMediaWholeKey, "true"}}));
    EXPECT_EQ(delivered().size(), 1u);

    // A volume name takes precedence over the media name for the device's name.
    service->wholeDiskAppeared(whole("sdh", {{kDADiskDescriptionVolumeNameKey, "CARD"}}));
    ASSERT_EQ(delivered().size(), 2u);
    EXPECT_EQ(delegate.events[1].device.name, "CARD");
}

TEST_F(DiskDetectionServiceTest, StartsOnce) {
    test::LogCapture log;
    service->startMonitoring();
    service->startMonitoring();
    EXPECT_EQ(starts, 1);
    EXPECT_TRUE(log.tagged().contains(kCategory + "|info|Starting disk monitoring"));
    EXPECT_TRUE(
        log.tagged().contains(kCategory + "|debug|Disk monitoring already active, skipping"));
}

TEST_F(DiskDetectionServiceTest, NothingIsDeliveredToADelegateThatIsGone) {
    class ObjectDelegate : public QObject, public test::RecordingDelegate {};
    auto gone = std::make_unique<ObjectDelegate>();
    service->setDelegate(gone.get());
    service->wholeDiskAppeared(whole("sdb"));
    gone.reset();
    QCoreApplication::processEvents();  // must not touch the destroyed delegate
    service->setDelegate(&delegate);
    EXPECT_TRUE(delivered().empty());
}

class RecordingEjector : public DiskEjector {
public:
    QCoro::Task<void> ejectDisk(QString bsdName) override {
        names.append(bsdName);
        if (refuse)
            throw DiskError::ejectFailed(-119930868);
        co_return;
    }
    QStringList names;
    bool refuse = false;
};

TEST_F(DiskDetectionServiceTest, EjectGoesThroughTheEjector) {
    RecordingEjector ejector;
    service->setEjector(&ejector);
    ASSERT_TRUE(QDir().mkpath(devices.path() + "/sys/class/block/sdb"));
    model::Device device;
    device.bsdName = "sdb";
    test::run(service->ejectDisk(device));
    EXPECT_EQ(ejector.names, QStringList{"sdb"});

    ejector.refuse = true;
    const auto refused = testing::failureOf<DiskError>(service->ejectDisk(device));
    EXPECT_EQ(refused.kind(), DiskError::Kind::ejectFailed);
    EXPECT_STREQ(refused.what(), "Failed to eject disk (status: -119930868)");

    device.bsdName = "sdz";
    const auto missing = testing::failureOf<DiskError>(service->ejectDisk(device));
    EXPECT_EQ(missing.kind(), DiskError::Kind::diskNotFound);
    EXPECT_STREQ(missing.what(), "Disk not found");
    EXPECT_EQ(ejector.names.size(), 2);
}

}  // namespace
}  // namespace quorvale::disk
