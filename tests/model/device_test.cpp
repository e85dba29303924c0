#include <gtest/gtest.h>

#include <QSet>

#include "model/device.h"

namespace quorvale::model {
namespace {

TEST(FilesystemTypeTest, RawValuesRoundTripAndUnknownStringsYieldNothing) {
    const char* raws[] = {"ext4", "ext3", "ext2", "fat32",  "exfat",
                          "ntfs", "hfs+", "apfs", "unknown"};
    ASSERT_EQ(std::size(raws), allFilesystemTypes.size());
    for (size_t i = 0; i < allFilesystemTypes.size(); ++i) {
        EXPECT_EQ(rawValue(allFilesystemTypes[i]), QLatin1String(raws[i]));
        EXPECT_EQ(filesystemTypeFromRaw(QLatin1String(raws[i])), allFilesystemTypes[i]);
    }
    EXPECT_EQ(filesystemTypeFromRaw(QStringLiteral("hfs+")), FilesystemType::hfsPlus);
    EXPECT_EQ(filesystemTypeFromRaw(QStringLiteral("HFS+")), std::nullopt);
    EXPECT_EQ(filesystemTypeFromRaw(QStringLiteral("hfsPlus")), std::nullopt);
    EXPECT_EQ(filesystemTypeFromRaw(QStringLiteral("xfs")), std::nullopt);
    EXPECT_EQ(filesystemTypeFromRaw(QString()), std::nullopt);
}

TEST(MediaTypeTest, RawValuesAreTheCaseNames) {
    EXPECT_EQ(mediaTypeFromRaw(QStringLiteral("sdCard")), MediaType::sdCard);
    EXPECT_EQ(mediaTypeFromRaw(QStringLiteral("usbDrive")), MediaType::usbDrive);
    EXPECT_EQ(mediaTypeFromRaw(QStringLiteral("unknown")), MediaType::unknown);
    EXPECT_EQ(rawValue(MediaType::usbDrive), QStringLiteral("usbDrive"));
    EXPECT_EQ(mediaTypeFromRaw(QStringLiteral("sdcard")), std::nullopt);
    EXPECT_EQ(mediaTypeFromRaw(QStringLiteral("usb")), std::nullopt);
}

Partition partition(const char* name, FilesystemType type) {
    Partition p;
    p.id = p.bsdName = QLatin1String(name);
    p.size = 1000;
    p.filesystemType = type;
    return p;
}

TEST(DeviceTest, EXT4DetectionLooksAtEveryPartition) {
    Device device;
    device.id = device.bsdName = QStringLiteral("sdb");
    EXPECT_FALSE(device.hasEXT4Partition());
    device.partitions = {partition("sdb1", FilesystemType::fat32),
                         partition("sdb2", FilesystemType::ext3)};
    EXPECT_FALSE(device.hasEXT4Partition());
    EXPECT_FALSE(device.partitions[1].isEXT4());
    device.partitions.append(partition("sdb3", FilesystemType::ext4));
    EXPECT_TRUE(device.hasEXT4Partition());
    EXPECT_TRUE(device.partitions[2].isEXT4());
}

TEST(DeviceTest, EqualityAndHashCoverEveryField) {
    Device a;
    a.id = a.bsdName = QStringLiteral("mmcblk0");
    a.name = QStringLiteral("SD Card");
    a.size = 32'000'000'000;
    a.mediaType = MediaType::sdCard;
    a.partitions = {partition("mmcblk0p1", FilesystemType::ext4)};
    Device b = a;
    EXPECT_EQ(a, b);
    EXPECT_EQ(qHash(a), qHash(b));

    b.partitions[0].label = QStringLiteral("rootfs");
    EXPECT_NE(a, b);
    EXPECT_NE(qHash(a), qHash(b));
    b = a;
    b.partitions[0].label = QString();  // an empty label is not the same as no label
    EXPECT_NE(a, b);
    b = a;
    b.isEjecting = true;
    EXPECT_NE(a, b);
    b = a;
    b.partitions[0].isMounted = true;
    EXPECT_NE(a, b);

    QSet<Device> set{a, a};
    set.insert(b);
    EXPECT_EQ(set.size(), 2);
}

}  // namespace
}  // namespace quorvale::model
