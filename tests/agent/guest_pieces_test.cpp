// The VM-only pieces that do not need a VM: disks found by serial in a fake /sys tree, mount
// options, superblock and module-list parsing, virtio port lookup, and mount refusals on fake
// device trees.

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "agent/agent_error.h"
#include "agent/channel_secret.h"
#include "agent/ext_superblock.h"
#include "agent/guest_devices.h"
#include "agent/guest_disks.h"
#include "agent/guest_partitions.h"
#include "agent/module_loader.h"
#include "agent/virtio_ports.h"
#include "rpc/device_name.h"

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

// A fake /sys/block: each disk with its serial (none for nullopt) and partition numbers.
struct FakeDisk {
    std::string guestName;
    std::optional<std::string> serial;
    std::vector<unsigned> partitions;
    std::string sequence = "";
};

void writeDisks(const TempDir& tree, const std::vector<FakeDisk>& disks) {
    for (const auto& disk : disks) {
        const std::string dir = "sys/block/" + disk.guestName;
        tree.write(dir + "/size", "65536\n");
        if (disk.serial)
            tree.write(dir + "/serial", *disk.serial);
        if (!disk.sequence.empty())
            tree.write(dir + "/diskseq", disk.sequence + "\n");
        for (unsigned n : disk.partitions) {
            const std::string part = disk.guestName + std::to_string(n);
            tree.write(dir + "/" + part + "/partition", std::to_string(n) + "\n");
            tree.write("dev/" + part, std::string(4096, 'F'));
        }
        tree.write("dev/" + disk.guestName, std::string(4096, 'F'));
    }
}

int errnoOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const AgentError& e) {
        return e.kind == AgentError::Kind::system ? e.errnoValue : -static_cast<int>(e.code());
    }
    return 0;
}

TEST(GuestDisks, HostNamesFindTheirDiskBySerialWhateverTheGuestOrder) {
    TempDir tree;
    writeDisks(tree, {
                         {"vda", "image1\n", {1, 2}, "7"},
                         {"vdb", std::string("sdb\0\0\0 \n", 8), {1, 10}},
                         {"vdc", "mmcblk0", {1}},
                         {"vdd", std::nullopt, {1}},  // no serial: never served
                         {"vde", "not a disk", {1}},  // a serial that names no disk
                         {"loop0", std::nullopt, {}},
                     });
    const std::string sys = tree.path + "/sys/block", dev = tree.path + "/dev";

    const auto disks = listGuestDisks(sys);
    ASSERT_EQ(disks.size(), 3u);
    EXPECT_EQ(disks[0].hostName, "image1");
    EXPECT_EQ(disks[0].sequence, "7");
    EXPECT_EQ(disks[1].hostName, "sdb");
    EXPECT_EQ(disks[2].guestName, "vdc");

    const struct {
        const char* host;
        std::string device;
    } found[] = {
        {"sdb1", "/vdb1"},     {"sdb10", "/vdb10"}, {"sdb", "/vdb"},
        {"image1p2", "/vda2"}, {"image1", "/vda"},  {"mmcblk0p1", "/vdc1"},
    };
    for (const auto& c : found) {
        const auto device = resolveGuestDevice(c.host, sys, dev);
        EXPECT_EQ(device.device, dev + c.device) << c.host;
        EXPECT_EQ(device.disk.hostName, rpc::wholeDiskName(c.host)) << c.host;
    }

    const struct {
        const char* host;
        int error;
        std::string message;
    } refused[] = {
        {"sdc1", ENODEV, "Disk sdc is not attached to the VM"},
        {"vdd1", ENODEV, "Disk vdd is not attached to the VM"},  // a guest name is no host name
        {"vda1", ENODEV, "Disk vda is not attached to the VM"},
        {"sdb2", ENXIO, "Disk sdb has no partition sdb2"},
        {"image1p3", ENXIO, "Disk image1 has no partition image1p3"},
        {"disk4s2", 32602, "Invalid params: \"partition\" is not a partition name: \"disk4s2\""},
        {"../vdb1", 32602, ""},
        {"", 32602, ""},
    };
    for (const auto& c : refused) {
        try {
            resolveGuestDevice(c.host, sys, dev);
            ADD_FAILURE() << c.host << " was served";
        } catch (const AgentError& e) {
            EXPECT_EQ(e.kind == AgentError::Kind::system ? e.errnoValue : -e.code(), c.error)
                << c.host;
            if (!c.message.empty()) {
                EXPECT_EQ(std::string(e.what()), c.message);
            }
        }
    }
}

TEST(GuestDisks, TwoDisksClaimingOneNameServeNeither) {
    TempDir tree;
    writeDisks(tree, {{"vda", "sdb", {1}}, {"vdb", "sdb", {1}}, {"vdc", "sdc", {1}}});
    const std::string sys = tree.path + "/sys/block", dev = tree.path + "/dev";
    EXPECT_EQ(errnoOf([&] { resolveGuestDevice("sdb1", sys, dev); }), EIO);
    EXPECT_EQ(resolveGuestDevice("sdc1", sys, dev).device, dev + "/vdc1");
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
    writeDisks(tree, {{"vda", "sdb", {1}}});
    GuestPartitions partitions({tree.path + "/dev", tree.path + "/sys/block", tree.path + "/mnt",
                                std::chrono::milliseconds(0)});

    EXPECT_EQ(errnoOf([&] { partitions.select("disk4s1"); }), 32602)
        << "a macOS-style name was accepted";
    try {
        partitions.select("sdb1");
        FAIL() << "a non-ext partition mounted";
    } catch (const AgentError& e) {
        EXPECT_EQ(e.code(), -EINVAL);
        EXPECT_EQ(std::string(e.what()),
                  "Cannot mount sdb1 (" + tree.path + "/dev/vda1): not an ext2/3/4 filesystem");
    }
    EXPECT_EQ(errnoOf([&] { partitions.select("sdc1"); }), ENODEV);
    // Without a name every candidate is tried; the first failure is reported.
    try {
        partitions.select(std::nullopt);
        FAIL();
    } catch (const AgentError& e) {
        EXPECT_NE(std::string(e.what()).find("vda1"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(partitions.describe().empty());
    EXPECT_FALSE(fs::exists(tree.path + "/mnt/sdb1/lost+found"));
}

TEST(GuestPartitionsTest, NoDiskAtAllIsRefusedByName) {
    TempDir tree;
    GuestPartitions partitions({tree.path + "/dev", tree.path + "/sys/block", tree.path + "/mnt",
                                std::chrono::milliseconds(0)});
    try {
        partitions.select(std::nullopt);
        FAIL();
    } catch (const AgentError& e) {
        EXPECT_EQ(e.errnoValue, ENODEV);
        EXPECT_EQ(std::string(e.what()), "No disk is attached to the VM");
    }
}

TEST(GuestPartitionsTest, ADiskBeingPluggedInIsWaitedFor) {
    TempDir tree;
    writeDisks(tree, {{"vda", "sdb", {1}}});
    GuestPartitions partitions({tree.path + "/dev", tree.path + "/sys/block", tree.path + "/mnt",
                                std::chrono::seconds(20)});
    // The disk appears while the call waits, its partitions a little later; the call then
    // reaches the partition (and finds no ext4).
    std::thread plug([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        writeDisks(tree, {{"vdb", "sdc", {}}});
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        writeDisks(tree, {{"vdb", "sdc", {2}}});
    });
    try {
        partitions.select("sdc2");
        ADD_FAILURE() << "a non-ext partition mounted";
    } catch (const AgentError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Cannot mount sdc2 (" + tree.path + "/dev/vdb2): not an ext2/3/4 filesystem");
    }
    plug.join();
}

TEST(GuestDevices, CountsBoundDevicesPerDriverAndNamesTheExtTypes) {
    TempDir sys;
    const auto bind = [&](const std::string& driver, const std::string& device) {
        fs::create_directories(sys.path + "/" + driver);
        fs::create_symlink("../../../../devices/" + device, sys.path + "/" + driver + "/" + device);
    };
    // Bound devices are links; "module", "bind" and "uevent" are not devices.
    bind("bus/virtio/drivers/virtio_console", "virtio0");
    bind("bus/virtio/drivers/virtio_balloon", "virtio1");
    bind("bus/virtio/drivers/virtio_rng", "virtio2");
    bind("bus/virtio/drivers/virtio_rng", "module");
    sys.write("bus/virtio/drivers/virtio_rng/bind", "");
    sys.write("bus/virtio/drivers/virtio_rng/uevent", "");
    fs::create_directories(sys.path + "/bus/virtio/drivers/virtio_blk");
    // pvpanic counts on either bus.
    bind("bus/platform/drivers/pvpanic-mmio", "QEMU0001:00");
    bind("bus/pci/drivers/pvpanic-pci", "0000:00:05.0");
    sys.write("filesystems", "nodev\tsysfs\nnodev\tproc\n\text3\n\text2\n\text4\nnodev\tvfat\n");

    EXPECT_EQ(describeGuestDevices(sys.path, sys.path + "/filesystems"),
              "devices: virtio_console=1 virtio_blk=0 virtio_balloon=1 virtio_rng=1 vsock=- "
              "pvpanic=2 button=-; filesystems: ext3 ext2 ext4");
    EXPECT_EQ(describeGuestDevices(sys.path + "/none", sys.path + "/none"),
              "devices: virtio_console=- virtio_blk=- virtio_balloon=- virtio_rng=- vsock=- "
              "pvpanic=- button=-; filesystems:");
}

TEST(ChannelSecretTest, ReadsHexSecretsAndComparesWholly) {
    const std::string hex64 = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
    for (const std::string& bad :
         {std::string("too short"), std::string(31, 'a'), std::string(129, 'a'),
          hex64.substr(0, 40) + "xyz" + "0000", std::string()})
        EXPECT_FALSE(ChannelSecret::fromText(bad)) << bad;
    const auto secret = ChannelSecret::fromText(" " + hex64 + "\n");
    ASSERT_TRUE(secret);
    EXPECT_TRUE(secret->matches(hex64));
    for (const std::string& wrong :
         {hex64.substr(0, 63), hex64 + "0", std::string(), std::string("1") + hex64.substr(1),
          hex64.substr(0, 63) + "e", std::string(64, '\0')})
        EXPECT_FALSE(secret->matches(wrong)) << wrong;

    TempDir dir;
    dir.write("raw", hex64);
    EXPECT_TRUE(ChannelSecret::fromFile(dir.path + "/raw"));
    dir.write("long", std::string(4096, 'a'));
    EXPECT_FALSE(ChannelSecret::fromFile(dir.path + "/long"));
    EXPECT_FALSE(ChannelSecret::fromFile(dir.path + "/none"));
    EXPECT_FALSE(ChannelSecret::unknowable().matches(hex64));
}

}  // namespace
}  // namespace quorvale::agent
