// The VM-only pieces that do not need a VM: device mapping, mount options, superblock and
// module-list parsing, virtio port lookup, and mount refusals on fake device trees.

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "agent/agent_error.h"
#include "agent/ext_superblock.h"
#include "agent/guest_partitions.h"
#include "agent/module_loader.h"
#include "agent/virtio_ports.h"

namespace quorvale::agent {
namespace {

namespace fs = std::filesystem;

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/quorvale-agent-unit-XXXXXX";
        path = ::mkdtemp(pattern);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    void write(const std::string& relative, std::string_view text) const {
        fs::create_directories(fs::path(path + "/" + relative).parent_path());
        std::ofstream(path + "/" + relative, std::ios::binary) << text;
    }
    std::string path;
};

std::string superblock(std::uint16_t magic, std::uint32_t compat, std::uint32_t incompat,
                       std::string_view label) {
    std::string sb(extSuperblockSize, '\0');
    const auto put32 = [&](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            sb[at + static_cast<std::size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
    };
    sb[0x38] = static_cast<char>(magic & 0xFF);
    sb[0x39] = static_cast<char>(magic >> 8);
    put32(0x5C, compat);
    put32(0x60, incompat);
    sb.replace(0x78, label.size(), label);
    return sb;
}

TEST(GuestDevice, HostNamesMapToTheFirstDiskByPartitionNumber) {
    const GuestLayout layout;
    EXPECT_EQ(guestDeviceFor("sdb2", layout), "/dev/vda2");
    EXPECT_EQ(guestDeviceFor("mmcblk0p1", layout), "/dev/vda1");
    EXPECT_EQ(guestDeviceFor("nvme0n1p3", layout), "/dev/vda3");
    EXPECT_EQ(guestDeviceFor("image0p12", layout), "/dev/vda12");
    EXPECT_EQ(guestDeviceFor("sdb", layout), "/dev/vda") << "a whole disk is the disk itself";
    EXPECT_EQ(guestDeviceFor("mmcblk0", layout), "/dev/vda");
    for (std::string_view bad : {"", "disk4s2", "/dev/sdb1", "sdb/../x", "vda 1", "sd"})
        EXPECT_FALSE(guestDeviceFor(bad, layout).has_value()) << bad;
}

TEST(GuestDevice, ReadOnlyDisksMountWithoutJournalReplay) {
    const auto ro = mountOptions(true);
    EXPECT_TRUE(ro.flags & MS_RDONLY);
    EXPECT_EQ(ro.data, "noload");
    const auto rw = mountOptions(false);
    EXPECT_FALSE(rw.flags & MS_RDONLY);
    EXPECT_EQ(rw.data, "");
    for (const auto& o : {ro, rw}) {
        EXPECT_TRUE(o.flags & MS_NODEV);
        EXPECT_TRUE(o.flags & MS_NOSUID);
        EXPECT_TRUE(o.flags & MS_NOEXEC);
    }
}

TEST(ExtSuperblock, RecognisesGenerationAndLabel) {
    const auto ext4 = parseExtSuperblock(superblock(0xEF53, 0x4, 0x2 | 0x40, "SDCARD"));
    ASSERT_TRUE(ext4);
    EXPECT_EQ(ext4->filesystem, "ext4");
    EXPECT_EQ(ext4->label, "SDCARD");
    const auto ext3 = parseExtSuperblock(superblock(0xEF53, 0x4, 0x2, ""));
    ASSERT_TRUE(ext3);
    EXPECT_EQ(ext3->filesystem, "ext3");
    EXPECT_EQ(ext3->label, "");
    EXPECT_EQ(parseExtSuperblock(superblock(0xEF53, 0, 0x2, "0123456789abcdef"))->label,
              "0123456789abcdef")
        << "a 16-byte label has no terminator";
    EXPECT_EQ(parseExtSuperblock(superblock(0xEF53, 0, 0, ""))->filesystem, "ext2");
    EXPECT_FALSE(parseExtSuperblock(superblock(0x4D44, 0, 0, "FAT")));
    EXPECT_FALSE(parseExtSuperblock("short"));
}

TEST(ModuleList, KeepsOrderAndSkipsBlanksAndComments) {
    EXPECT_EQ(parseModuleList("/lib/modules/6.1/virtio.ko\n\n  # vsock next\n"
                              "\t/lib/modules/6.1/vsock.ko \r\n/lib/modules/6.1/ext4.ko"),
              (std::vector<std::string>{"/lib/modules/6.1/virtio.ko", "/lib/modules/6.1/vsock.ko",
                                        "/lib/modules/6.1/ext4.ko"}));
    EXPECT_TRUE(parseModuleList("").empty());
    const auto report = loadModules("/nonexistent/modules");
    EXPECT_EQ(report.loaded, 0);
    EXPECT_EQ(report.failures, std::vector<std::string>{"no module list at /nonexistent/modules"});
}

TEST(VirtioPorts, FindsThePortByItsName) {
    TempDir sys;
    sys.write("vport0p0/name", "org.qemu.guest_agent.0\n");
    sys.write("vport1p1/name", "org.quorvale.agent.5000\n");
    sys.write("vport1p2/name", "");
    EXPECT_EQ(findVirtioPort(sys.path, agentPortName), "/dev/vport1p1");
    EXPECT_EQ(findVirtioPort(sys.path, "org.quorvale.agent", "/devices"), std::nullopt);
    EXPECT_EQ(findVirtioPort(sys.path + "/missing", agentPortName), std::nullopt);
}

TEST(GuestPartitionsTest, RefusesNamesAndFilesystemsItCannotServe) {
    TempDir tree;
    tree.write("dev/vda1", std::string(4096, 'F'));  // not ext
    tree.write("sys/block/vda/vda1/partition", "1\n");
    GuestPartitions partitions(
        {"vda", tree.path + "/dev", tree.path + "/sys/block", tree.path + "/mnt"});

    try {
        partitions.select("disk4s1");
        FAIL() << "a macOS-style name was accepted";
    } catch (const AgentError& e) {
        EXPECT_EQ(e.code(), -32602);
    }
    try {
        partitions.select("sdb1");
        FAIL() << "a non-ext partition mounted";
    } catch (const AgentError& e) {
        EXPECT_EQ(e.code(), -EINVAL);
        EXPECT_EQ(std::string(e.what()),
                  "Cannot mount sdb1 (" + tree.path + "/dev/vda1): not an ext2/3/4 filesystem");
    }
    // Without a name every candidate is tried; the first failure is reported.
    try {
        partitions.select(std::nullopt);
        FAIL();
    } catch (const AgentError& e) {
        EXPECT_NE(std::string(e.what()).find("vda1"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(partitions.describe().empty());
    EXPECT_FALSE(fs::exists(tree.path + "/mnt/vda1/lost+found"));
}

}  // namespace
}  // namespace quorvale::agent
