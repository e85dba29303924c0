// Disks plugged into and out of the running VM over QMP, on the real guest: the guest sees a
// disk plugged in under its own name, QEMU's refusal comes back with its text and leaves the VM
// as it was, a name whose disk left is refused, and a disk plugged in again is mounted afresh.

#include <fcntl.h>

#include <gtest/gtest.h>
#include <QTemporaryDir>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "guest/vsock_transport.h"
#include "rpc/any_codable.h"
#include "vm_test_support.h"

namespace quorvale::guest {
namespace {

using namespace testing;
using rpc::AnyCodable;
using rpc::Params;

UniqueFd openFile(const std::string& path, int flags) {
    return UniqueFd(::open(path.c_str(), flags | O_CLOEXEC));
}

class HotplugTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists(buildResources().toStdString() + "/vm/initramfs.img"))
            GTEST_SKIP() << "no VM image in the build tree";
        for (const char* name : {"one", "two"}) {
            const std::string tree = dir.filePath(name).toStdString();
            std::filesystem::create_directories(tree);
            std::ofstream(tree + "/" + name + ".txt") << "card " << name << "\n";
            makeExt4Image(image(name), tree);
        }
    }
    void TearDown() override {
        transport.disconnect();
        run(service.stopVM());
    }
    std::string image(const char* name) const {
        return dir.filePath(QStringLiteral("%1.img").arg(name)).toStdString();
    }
    void boot() {
        std::vector<VMDisk> disks;
        disks.push_back({"image0", openFile(image("one"), O_RDWR)});
        run(service.bootVM(std::move(disks)));
        UniqueFd stream = waitForAgent(service, std::chrono::seconds(180));
        ASSERT_TRUE(stream.valid()) << "the agent never answered";
        transport.connect(std::move(stream));
    }
    AnyCodable call(const std::string& method, Params params = {}) {
        return run(transport.send(method, std::move(params), std::chrono::seconds(60)))
            .value_or(AnyCodable());
    }
    // Names in "/" of the partition, sorted, or the guest's error text.
    std::string listRoot(const std::string& partition) {
        try {
            const AnyCodable listing =
                call("list_dir", {{"path", AnyCodable("/")}, {"partition", AnyCodable(partition)}});
            std::vector<std::string> sorted;
            for (const auto& entry : *listing.arrayValue())
                sorted.emplace_back(entry.as_object().at("name").as_string());
            std::sort(sorted.begin(), sorted.end());
            std::string names;
            for (const auto& name : sorted)
                names += name + " ";
            return names;
        } catch (const std::exception& error) {
            return std::string("error: ") + error.what();
        }
    }

    QTemporaryDir dir;
    VMLifecycleService service{VMResources(buildResources())};
    VsockTransport transport;
};

TEST_F(HotplugTest, DisksComeAndGoWhileTheVMRuns) {
    boot();
    EXPECT_EQ(listRoot("image0"), "lost+found one.txt ");

    // QEMU refuses a descriptor it cannot read through; its own words come back.
    try {
        run(service.attachDisk({"image1", openFile(image("two"), O_WRONLY)}));
        ADD_FAILURE() << "a write-only descriptor was plugged in";
    } catch (const VMError& error) {
        EXPECT_EQ(error.kind, VMError::Kind::diskAttachmentFailed);
        EXPECT_TRUE(QString(error.what()).startsWith("Disk attachment failed: blockdev-add: "))
            << error.what();
    }
    try {
        run(service.attachDisk({"image0", openFile(image("two"), O_RDWR)}));
        ADD_FAILURE() << "a second disk under a name in use";
    } catch (const VMError& error) {
        EXPECT_STREQ(error.what(), "Disk attachment failed: image0 is attached already");
    }
    EXPECT_EQ(service.diskNames(), QStringList{"image0"});
    EXPECT_EQ(service.status(), VMStatus::running());
    EXPECT_EQ(listRoot("image0"), "lost+found one.txt ");

    // Plugged in: the guest finds it by its name.
    run(service.attachDisk({"image1", openFile(image("two"), O_RDWR)}));
    EXPECT_EQ(service.diskNames(), (QStringList{"image0", "image1"}));
    EXPECT_EQ(listRoot("image1"), "lost+found two.txt ");
    call("write_file", {{"path", AnyCodable("/written.txt")},
                        {"data_b64", AnyCodable("aGVsbG8=")},
                        {"partition", AnyCodable("image1")}});
    call("sync", {{"disk", AnyCodable("image1")}});

    // Taken out without the guest unmounting it first, as when a card is pulled.
    run(service.detachDisk("image1"));
    EXPECT_EQ(service.diskNames(), QStringList{"image0"});
    EXPECT_NE(listRoot("image1").find("Disk image1 is not attached to the VM"), std::string::npos);
    EXPECT_EQ(listRoot("image0"), "lost+found one.txt ");

    // Changed on the host, plugged in again: the guest reads the disk as it is now, not the
    // mount it kept from before.
    ASSERT_EQ(shell("e2fsck -fy '" + image("two") + "' >/dev/null 2>&1; debugfs -w -R 'write " +
                    image("one") + " added.img' '" + image("two") + "' >/dev/null 2>&1"),
              0);
    run(service.attachDisk({"image1", openFile(image("two"), O_RDWR)}));
    EXPECT_EQ(listRoot("image1"), "added.img lost+found two.txt written.txt ");

    call("unmount", {{"disk", AnyCodable("image1")}});
    run(service.detachDisk("image1"));
    transport.disconnect();
    run(service.stopVM());
    EXPECT_EQ(shell("e2fsck -fn '" + image("one") + "' >/dev/null 2>&1"), 0);
    EXPECT_EQ(shell("e2fsck -fn '" + image("two") + "' >/dev/null 2>&1"), 0);
    EXPECT_EQ(shellOutput("debugfs -R 'cat /written.txt' '" + image("two") + "' 2>/dev/null"),
              "hello");
}

}  // namespace
}  // namespace quorvale::guest
