#include "rpc/device_name.h"

#include <gtest/gtest.h>

using namespace quorvale::rpc;

TEST(DeviceName, WholeDiskOfPartitions) {
    EXPECT_EQ(wholeDiskName("sdb1"), "sdb");
    EXPECT_EQ(wholeDiskName("mmcblk0p1"), "mmcblk0");
    EXPECT_EQ(wholeDiskName("nvme0n1p2"), "nvme0n1");
    EXPECT_EQ(wholeDiskName("image0p1"), "image0");
    EXPECT_EQ(wholeDiskName("vdb"), "vdb");
    EXPECT_EQ(wholeDiskName("mmcblk0"), "mmcblk0");
}

TEST(DeviceName, PartitionNumbers) {
    EXPECT_EQ(partitionNumber("sdb12"), 12u);
    EXPECT_EQ(partitionNumber("mmcblk0p2"), 2u);
    EXPECT_EQ(partitionNumber("sdb"), std::nullopt);
    EXPECT_EQ(partitionNumber("nvme0n1"), std::nullopt);
}

TEST(DeviceName, RefusesOtherForms) {
    for (const char* bad : {"/dev/sdb", "sdb/..", "", "sd", "..", "sdb\n", "sdb1/", "mmcblk0p",
                            "mmcblk01x", "sda0", "disk4s2", "sdB"}) {
        EXPECT_FALSE(isDeviceName(bad)) << bad;
    }
    EXPECT_TRUE(isWholeDiskName("sdb"));
    EXPECT_FALSE(isWholeDiskName("sdb1"));
}

TEST(DeviceName, EveryListedFormRoundTrips) {
    for (const char* disk : {"sdb", "vdb", "hda", "xvda", "mmcblk0", "nvme0n1", "loop0", "image0"})
        EXPECT_TRUE(isWholeDiskName(disk)) << disk;
    EXPECT_EQ(wholeDiskName("xvda3"), "xvda");
    EXPECT_EQ(wholeDiskName("loop0p1"), "loop0");
    EXPECT_EQ(partitionNumber("vdb2"), 2u);
    EXPECT_EQ(wholeDiskName("sdbp1"), "sdbp");  // letter disks run to three letters
    EXPECT_FALSE(isDeviceName("nvme0n1p0"));    // partitions count from 1
}

TEST(DeviceName, PartitionNamesAreComposedAsTheKernelNamesThem) {
    const struct {
        const char* disk;
        unsigned number;
        std::optional<std::string> name;
    } cases[] = {
        {"sdb", 2, "sdb2"},          {"vdaa", 1, "vdaa1"},        {"mmcblk0", 1, "mmcblk0p1"},
        {"nvme0n1", 3, "nvme0n1p3"}, {"image12", 4, "image12p4"}, {"sdb", 0, std::nullopt},
        {"sdb1", 1, std::nullopt},   {"../sdb", 1, std::nullopt}, {"sdb", 10000, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(partitionName(c.disk, c.number), c.name) << c.disk << " " << c.number;
        if (c.name) {
            EXPECT_EQ(wholeDiskName(*c.name), c.disk);
            EXPECT_EQ(partitionNumber(*c.name), c.number);
        }
    }
}
