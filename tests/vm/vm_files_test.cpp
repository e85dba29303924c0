// File operations through the real VM on real ext4 images: a whole-disk image and an MBR image
// (p1 FAT32, p2 ext4). Afterwards the image is checked from the host with e2fsck and debugfs.
// Also: the same on a block device, as a card is; a read-only image with a journal needing
// recovery stays bit-for-bit unchanged, and QEMU dying mid-call fails the waiting call.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <qcoro/qcorotimer.h>
#include <QTemporaryDir>
#include <fstream>

#include "booted_vm.h"
#include "guest/qemu_launcher.h"
#include "guest/vsock_transport.h"
#include "rpc/base64.h"
#include "rpc/device_name.h"
#include "vm_test_support.h"

namespace quorvale::guest {
namespace {

using namespace testing;
using namespace std::chrono_literals;
using rpc::AnyCodable;
using rpc::base64Decode;
using rpc::base64Encode;
using rpc::Params;

std::string pattern(size_t size, char seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(seed + i * 7 + i / 251);
    return bytes;
}

// The source tree every image starts from.
void makeTree(const std::string& dir) {
    shell("mkdir -p '" + dir + "/docs/old' && printf 'hello\\n' > '" + dir +
          "/hello.txt' && printf 'read me\\n' > '" + dir + "/docs/readme.md' && printf 'x' > '" +
          dir + "/docs/old/gone.txt'");
}

UniqueFd openFile(const std::string& path, int flags) {
    return UniqueFd(::open(path.c_str(), flags | O_CLOEXEC));
}

// One pass over every method; `ext4` is the ext4 filesystem alone (for debugfs and e2fsck).
void exerciseAndCheck(BootedVM& vm, const std::function<std::string()>& extractExt4) {
    EXPECT_EQ(vm.names("/"), (std::vector<std::string>{"docs", "hello.txt", "lost+found"}));
    // Partitions mount on first use; the one just used comes first.
    const AnyCodable partitions = vm.call("get_partitions");
    ASSERT_TRUE(partitions.arrayValue() && !partitions.arrayValue()->empty());
    const auto& first = partitions.arrayValue()->front().as_object();
    EXPECT_GT(first.at("total_bytes").to_number<double>(), 1e6);
    EXPECT_GT(first.at("free_bytes").to_number<double>(), 0);
    EXPECT_EQ(vm.read("/hello.txt"), "hello\n");

    vm.write("/new.txt", "new content");
    // Chunked upload: offset 0 starts the file, "final" publishes it.
    const std::string big = pattern(600 * 1024, 3);
    const size_t chunk = 256 * 1024;
    for (size_t offset = 0; offset < big.size(); offset += chunk) {
        const std::string piece = big.substr(offset, chunk);
        vm.call("write_file", {{"path", AnyCodable("/big.bin")},
                               {"data_b64", AnyCodable(base64Encode(piece))},
                               {"offset", AnyCodable(static_cast<int64_t>(offset))},
                               {"final", AnyCodable(offset + chunk >= big.size())}});
    }
    // Chunked export of the same file.
    std::string exported;
    for (size_t offset = 0; offset < big.size(); offset += chunk) {
        const AnyCodable data =
            vm.call("read_file", {{"path", AnyCodable("/big.bin")},
                                  {"offset", AnyCodable(static_cast<int64_t>(offset))},
                                  {"max_bytes", AnyCodable(static_cast<int64_t>(chunk))}});
        exported += base64Decode(*data.stringValue()).value();
    }
    EXPECT_EQ(exported, big);

    const AnyCodable renamed = vm.call(
        "rename", {{"path", AnyCodable("/hello.txt")}, {"new_name", AnyCodable("greeting.txt")}});
    EXPECT_EQ(renamed.objectValue()->at("new_path").as_string(), "/greeting.txt");
    vm.call("copy_file",
            {{"path", AnyCodable("/docs/readme.md")}, {"dest_path", AnyCodable("/docs/copy.md")}});
    vm.call("create_directory", {{"path", AnyCodable("/made")}});
    vm.call("delete", {{"path", AnyCodable("/docs/old")}});
    const AnyCodable usage = vm.call("dir_usage", {{"path", AnyCodable("/")}});
    bool sawBig = false;
    for (const auto& entry : *usage.arrayValue())
        if (entry.as_object().at("name").as_string() == "big.bin") {
            sawBig = true;
            EXPECT_EQ(entry.as_object().at("size").to_number<double>(), big.size());
        }
    EXPECT_TRUE(sawBig);
    EXPECT_EQ(vm.names("/docs"), (std::vector<std::string>{"copy.md", "readme.md"}));

    // A failing call answers with an error and leaves the agent serving.
    EXPECT_THROW(vm.call("read_file", {{"path", AnyCodable("/missing")}}), rpc::JSONRPCError);
    vm.call("sync");
    vm.call("unmount");
    vm.transport.disconnect();
    run(vm.service.stopVM());
    EXPECT_FALSE(vm.service.lastStopWasForced());

    const std::string fs = extractExt4();
    EXPECT_EQ(shell("e2fsck -fn '" + fs + "' >/dev/null 2>&1"), 0) << "e2fsck reports problems";
    auto debugfs = [&](const std::string& request) {
        return shellOutput("debugfs -R '" + request + "' '" + fs + "' 2>/dev/null");
    };
    EXPECT_EQ(debugfs("cat /new.txt"), "new content");
    EXPECT_EQ(debugfs("cat /greeting.txt"), "hello\n");
    EXPECT_EQ(debugfs("cat /docs/copy.md"), "read me\n");
    EXPECT_EQ(debugfs("cat /big.bin"), big);
    const std::string root = debugfs("ls /");
    for (const char* name : {"greeting.txt", "new.txt", "big.bin", "made", "docs", "lost+found"})
        EXPECT_NE(root.find(name), std::string::npos) << name;
    EXPECT_EQ(root.find("hello.txt"), std::string::npos);
    const std::string docs = debugfs("ls /docs");
    EXPECT_EQ(docs.find("old"), std::string::npos);
    EXPECT_NE(docs.find("copy.md"), std::string::npos);
}

TEST(VMFiles, WholeDiskImage) {
    QTemporaryDir dir;
    const std::string tree = dir.filePath("tree").toStdString();
    const std::string image = dir.filePath("whole.img").toStdString();
    makeTree(tree);
    makeExt4Image(image, tree);
    BootedVM vm(openFile(image, O_RDWR), "image0");
    exerciseAndCheck(vm, [&] { return image; });
}

TEST(VMFiles, SecondPartitionOfAnMbrImage) {
    QTemporaryDir dir;
    const std::string tree = dir.filePath("tree").toStdString();
    const std::string image = dir.filePath("mbr.img").toStdString();
    makeTree(tree);
    const long long offset = makePartitionedImage(image, tree);
    BootedVM vm(openFile(image, O_RDWR), "image0p2");
    exerciseAndCheck(vm, [&] {
        const std::string part = dir.filePath("p2.img").toStdString();
        shell("dd if='" + image + "' of='" + part + "' bs=1M skip=" + std::to_string(offset >> 20) +
              " status=none");
        return part;
    });
}

// A loop device over an image file: the host sees a block device, as it does a card.
class LoopDevice {
public:
    explicit LoopDevice(const std::string& image)
        : path(shellOutput("losetup -f --show '" + image + "' 2>/dev/null")) {
        while (!path.empty() && path.back() == '\n')
            path.pop_back();
    }
    ~LoopDevice() {
        if (!path.empty())
            shell("losetup -d '" + path + "'");
    }
    std::string path;  // empty when no loop device could be set up
};

TEST(VMFiles, CardAsABlockDevice) {
    if (::geteuid() != 0 || ::access("/dev/loop-control", W_OK) != 0)
        GTEST_SKIP() << "needs root and loop devices to stand in for a card";
    QTemporaryDir dir;
    const std::string tree = dir.filePath("tree").toStdString();
    const std::string image = dir.filePath("card.img").toStdString();
    makeTree(tree);
    const long long offset = makePartitionedImage(image, tree);
    {
        LoopDevice card(image);
        if (card.path.empty())
            GTEST_SKIP() << "no free loop device to stand in for a card";
        // Opened as the helper opens a card: exclusively, so nothing on the host mounts it.
        BootedVM vm(openFile(card.path, O_RDWR | O_EXCL), "sdb2");
        exerciseAndCheck(vm, [&] {
            const std::string part = dir.filePath("p2.img").toStdString();
            shell("dd if='" + card.path + "' of='" + part +
                  "' bs=1M skip=" + std::to_string(offset >> 20) + " status=none");
            return part;
        });
    }
}

TEST(VMFiles, ReadOnlyImageStaysUnchangedAndQemuDyingFailsTheWaitingCall) {
    QTemporaryDir dir;
    const std::string tree = dir.filePath("tree").toStdString();
    const std::string image = dir.filePath("ro.img").toStdString();
    makeTree(tree);
    makeExt4Image(image, tree);
    // A journal that says it needs recovery: mounting it writable would replay it.
    ASSERT_EQ(shell("debugfs -w -R 'feature needs_recovery' '" + image + "' >/dev/null 2>&1"), 0);
    ASSERT_EQ(shell("chmod 0444 '" + image + "'"), 0);
    const std::string before = shellOutput("sha256sum < '" + image + "'");

    {
        BootedVM vm(openFile(image, O_RDONLY), "image0");
        EXPECT_EQ(vm.names("/"), (std::vector<std::string>{"docs", "hello.txt", "lost+found"}));
        EXPECT_EQ(vm.read("/hello.txt"), "hello\n");
        EXPECT_THROW(vm.write("/new.txt", "nope"), rpc::JSONRPCError);
        EXPECT_THROW(vm.call("delete", {{"path", AnyCodable("/hello.txt")}}), rpc::JSONRPCError);
        vm.call("sync");

        // A call waiting when QEMU dies fails with "Vsock disconnected"; the status turns error.
        const auto pid = static_cast<pid_t>(vm.service.virtualMachine()->processId());
        ::kill(pid, SIGSTOP);
        auto pending = vm.transport.send("ping", {}, 30s);
        QTimer::singleShot(300, [pid] { ::kill(pid, SIGKILL); });
        try {
            run(std::move(pending));
            ADD_FAILURE() << "the call outlived QEMU";
        } catch (const VsockError& error) {
            EXPECT_EQ(error.kind, VsockError::Kind::disconnected);
            EXPECT_STREQ(error.what(), "Vsock disconnected");
        }
        const auto end = std::chrono::steady_clock::now() + 5s;
        while (!vm.service.status().isError() && std::chrono::steady_clock::now() < end)
            run(QCoro::sleepFor(20ms));
        EXPECT_TRUE(vm.service.status().isError()) << vm.service.status().text().toStdString();
    }
    EXPECT_EQ(shellOutput("sha256sum < '" + image + "'"), before) << "the read-only image changed";
}

// The guest kernel mounts ext2 (no journal) and ext3 (journal, no extents) as it mounts ext4.
TEST(VMFiles, Ext2AndExt3Images) {
    for (const char* type : {"ext2", "ext3"}) {
        SCOPED_TRACE(type);
        QTemporaryDir dir;
        const std::string tree = dir.filePath("tree").toStdString();
        const std::string image = dir.filePath("old.img").toStdString();
        makeTree(tree);
        ASSERT_EQ(
            shell(std::string("mkfs.") + type + " -q -F -d '" + tree + "' '" + image + "' 32M"), 0);
        BootedVM vm(openFile(image, O_RDWR), "image0");
        exerciseAndCheck(vm, [&] { return image; });
        // Written to, it keeps its type: no ext4 feature was switched on.
        const std::string features =
            shellOutput("dumpe2fs -h '" + image + "' 2>/dev/null | grep '^Filesystem features'");
        EXPECT_EQ(features.find("extent"), std::string::npos) << features;
        EXPECT_EQ(features.find("has_journal") != std::string::npos, std::string(type) == "ext3")
            << features;
    }
}

// A crafted card in the real guest: names that are not UTF-8 beside their lookalikes, a
// set-user-ID tool, a temporary an earlier agent left behind beside a user's file of a similar
// name, and a tree deeper than a recursive walk could hold open.
TEST(VMFiles, ACraftedCardIsServedSafely) {
    QTemporaryDir dir;
    const std::string tree = dir.filePath("tree").toStdString();
    const std::string image = dir.filePath("crafted.img").toStdString();
    constexpr int levels = 1200;
    ASSERT_EQ(
        shell("mkdir -p '" + tree + "/sub' && cd '" + tree + "' && " +
              R"sh(printf latin > "$(printf 'caf\351')" && )sh"
              R"sh(printf fffd > "$(printf 'caf\357\277\275')" && )sh"
              "printf tool > tool && chmod 4755 tool && "
              "head -c 65536 /dev/zero > sub/.quorvale-tmp-u0123456789abcdef && "
              "printf mine > .quorvale-tmp-notes.txt && "
              "d=deep; for i in $(seq " +
              std::to_string(levels) + "); do d=$d/d; done; mkdir -p $d && printf leaf > $d/leaf"),
        0);
    makeExt4Image(image, tree, 64);
    BootedVM vm(openFile(image, O_RDWR), "image0");

    // Each name is its own handle: U+F7E9 stands for the byte 0xE9; U+FFFD is itself.
    const std::string latin = "caf\xEF\x9F\xA9";
    const std::string replacement = "caf\xEF\xBF\xBD";
    EXPECT_EQ(vm.names("/"),
              (std::vector<std::string>{".quorvale-tmp-notes.txt", latin, replacement, "deep",
                                        "lost+found", "sub", "tool"}));
    EXPECT_EQ(vm.read("/" + latin), "latin");
    EXPECT_EQ(vm.read("/" + replacement), "fffd");
    vm.call("rename", {{"path", AnyCodable("/" + latin)}, {"new_name", AnyCodable("latin.txt")}});
    EXPECT_EQ(vm.read("/" + replacement), "fffd");

    // Copies of a set-user-ID tool are not set-user-ID.
    vm.call("copy_file", {{"path", AnyCodable("/tool")}, {"dest_path", AnyCodable("/tool2")}});

    // The leftover is removed once the partition is mounted writable; the user's file stays.
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    bool swept = false;
    while (!swept && std::chrono::steady_clock::now() < deadline) {
        try {
            vm.read("/sub/.quorvale-tmp-u0123456789abcdef");
            ::usleep(500'000);
        } catch (const rpc::JSONRPCError& error) {
            EXPECT_EQ(error.code, -ENOENT) << error.message;
            swept = true;
        }
    }
    EXPECT_TRUE(swept) << "the leftover temporary is still there";

    // The deep tree: usage, copy and delete all the way down.
    const AnyCodable usage = vm.call("dir_usage", {{"path", AnyCodable("/")}}, 300s);
    double deepSize = -1;
    for (const auto& entry : *usage.arrayValue())
        if (entry.as_object().at("name").as_string() == "deep")
            deepSize = entry.as_object().at("size").to_number<double>();
    EXPECT_EQ(deepSize, 4);
    vm.call("copy_file", {{"path", AnyCodable("/deep")}, {"dest_path", AnyCodable("/deep2")}},
            300s);
    vm.call("delete", {{"path", AnyCodable("/deep")}}, 300s);

    vm.call("unmount");
    vm.transport.disconnect();
    run(vm.service.stopVM());

    EXPECT_EQ(shell("e2fsck -fn '" + image + "' >/dev/null 2>&1"), 0) << "e2fsck reports problems";
    auto debugfs = [&](const std::string& request) {
        return shellOutput("debugfs -R '" + request + "' '" + image + "' 2>/dev/null");
    };
    EXPECT_EQ(debugfs("cat /latin.txt"), "latin");
    EXPECT_EQ(debugfs("cat /.quorvale-tmp-notes.txt"), "mine");
    EXPECT_NE(debugfs("stat /tool").find("Mode:  04755"), std::string::npos) << "source kept";
    const std::string copied = debugfs("stat /tool2");
    EXPECT_NE(copied.find("Mode:  0755"), std::string::npos) << copied.substr(0, 300);
    std::string deepLeaf = "/deep2";
    for (int i = 0; i < levels; ++i)
        deepLeaf += "/d";
    EXPECT_EQ(debugfs("cat " + deepLeaf + "/leaf"), "leaf");
    EXPECT_EQ(debugfs("ls /").find("deep "), std::string::npos);
}

// A file of the image as the host reads it (debugfs does not replay the journal).
std::string hostRead(const std::string& image, const std::string& path) {
    return shellOutput("debugfs -R 'cat " + path + "' '" + image + "' 2>/dev/null");
}

// Whether the image holds `expected` at `path`; a difference is described by its sizes only.
::testing::AssertionResult holds(const std::string& image, const std::string& path,
                                 const std::string& expected) {
    const std::string actual = hostRead(image, path);
    if (actual == expected)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << path << " holds " << actual.size() << " bytes, not the "
                                         << expected.size() << " written";
}

TEST(VMFiles, StopWaitsForTheGuestToFlushWhatItAcknowledged) {
    // No sync and no unmount before the stop, as when the app quits with a card mounted: the
    // guest flushes on the power button and the stop gives it the time. The copy is
    // acknowledged while it still sits in the guest's page cache.
    QTemporaryDir dir;
    const std::string tree = dir.filePath("tree").toStdString();
    const std::string image = dir.filePath("disk.img").toStdString();
    makeTree(tree);
    const std::string big = pattern(3 << 20, 11);
    { std::ofstream(tree + "/big.bin", std::ios::binary) << big; }
    makeExt4Image(image, tree);
    {
        BootedVM vm(openFile(image, O_RDWR));
        vm.call("copy_file",
                {{"path", AnyCodable("/big.bin")}, {"dest_path", AnyCodable("/copy.bin")}});
        vm.call("create_directory", {{"path", AnyCodable("/made")}});
        vm.call("rename",
                {{"path", AnyCodable("/hello.txt")}, {"new_name", AnyCodable("renamed.txt")}});
        vm.transport.disconnect();
        run(vm.service.stopVM());
        EXPECT_FALSE(vm.service.lastStopWasForced());
    }
    EXPECT_EQ(shell("e2fsck -fn '" + image + "' >/dev/null 2>&1"), 0) << "not cleanly unmounted";
    EXPECT_TRUE(holds(image, "/copy.bin", big));
    EXPECT_TRUE(holds(image, "/renamed.txt", "hello\n"));
    EXPECT_NE(shellOutput("debugfs -R 'ls /' '" + image + "' 2>/dev/null").find("made"),
              std::string::npos);
}

TEST(VMFiles, AcknowledgedChangesSurviveTheVmBeingKilled) {
    // QEMU killed right after the answers: what the agent acknowledged must already be on the
    // disk: a one-call write and a chunked upload (sizes that go through the page cache), a copy,
    // a rename, a new folder, a delete and a change of attributes.
    QTemporaryDir dir;
    const std::string tree = dir.filePath("tree").toStdString();
    const std::string image = dir.filePath("disk.img").toStdString();
    makeTree(tree);
    const std::string big = pattern(2 << 20, 3);
    { std::ofstream(tree + "/big.bin", std::ios::binary) << big; }
    makeExt4Image(image, tree);
    const std::string single = pattern(10000, 5);
    const std::string chunked = pattern(70000, 9);
    {
        BootedVM vm(openFile(image, O_RDWR));
        vm.write("/single.bin", single);
        const size_t chunk = 40000;
        for (size_t offset = 0; offset < chunked.size(); offset += chunk) {
            vm.call("write_file",
                    {{"path", AnyCodable("/chunked.bin")},
                     {"data_b64", AnyCodable(base64Encode(chunked.substr(offset, chunk)))},
                     {"offset", AnyCodable(static_cast<int64_t>(offset))},
                     {"final", AnyCodable(offset + chunk >= chunked.size())}});
        }
        vm.call("copy_file",
                {{"path", AnyCodable("/big.bin")}, {"dest_path", AnyCodable("/docs/copy.bin")}});
        vm.call("rename",
                {{"path", AnyCodable("/hello.txt")}, {"new_name", AnyCodable("renamed.txt")}});
        vm.call("create_directory", {{"path", AnyCodable("/docs/made")}});
        vm.call("delete", {{"path", AnyCodable("/docs/old")}});
        // Last, so that no later call's flush carries it: attributes alone must be on the disk.
        vm.call("set_attributes", {{"path", AnyCodable("/docs/readme.md")},
                                   {"mode", AnyCodable(static_cast<int64_t>(0600))},
                                   {"mtime_ns", AnyCodable(int64_t{1234567890} * 1000000000)}});
        ::kill(static_cast<pid_t>(vm.service.virtualMachine()->processId()), SIGKILL);
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (!vm.service.status().isError() && std::chrono::steady_clock::now() < end)
            run(QCoro::sleepFor(20ms));
        ASSERT_TRUE(vm.service.status().isError());
    }
    // e2fsck replays the journal (exit status 1: something was fixed, such as the replay).
    EXPECT_LE(shell("e2fsck -fy '" + image + "' >/dev/null 2>&1"), 1);
    EXPECT_TRUE(holds(image, "/single.bin", single));
    EXPECT_TRUE(holds(image, "/chunked.bin", chunked));
    EXPECT_TRUE(holds(image, "/docs/copy.bin", big));
    EXPECT_TRUE(holds(image, "/renamed.txt", "hello\n"));
    const std::string root = shellOutput("debugfs -R 'ls /' '" + image + "' 2>/dev/null");
    EXPECT_EQ(root.find("hello.txt"), std::string::npos) << root;
    const std::string docs = shellOutput("debugfs -R 'ls /docs' '" + image + "' 2>/dev/null");
    EXPECT_NE(docs.find("made"), std::string::npos) << docs;
    EXPECT_EQ(docs.find("old"), std::string::npos) << docs;
    EXPECT_EQ(docs.find(".quorvale-tmp-"), std::string::npos) << docs;
    const std::string readme =
        shellOutput("debugfs -R 'stat /docs/readme.md' '" + image + "' 2>/dev/null");
    EXPECT_NE(readme.find("Mode:  0600"), std::string::npos) << readme;
    EXPECT_NE(readme.find("mtime: 0x499602d2"), std::string::npos) << readme;
}

}  // namespace
}  // namespace quorvale::guest
