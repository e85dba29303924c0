// The daemon against a real block device: a loop device stands for a USB disk of the fake
// sysfs tree (its node there is a device node with the loop device's number), so that the
// kernel's own exclusive-open rules decide. Needs root and a free loop device; skipped where
// either is missing. The loop device is always detached.

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include <gtest/gtest.h>

#include "disk/privileged_helper_client.h"
#include "helper/fake_system.h"
#include "helper/qt_test_support.h"

using namespace quorvale;
using namespace quorvale::disk;
using namespace quorvale::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::string commandOutput(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe))
            out += buffer;
        ::pclose(pipe);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
        out.pop_back();
    return out;
}

class LoopDevice {
public:
    explicit LoopDevice(const fs::path& image, const std::string& options = {})
        : node(commandOutput("losetup " + options + " --find --show '" + image.string() +
                             "' 2>/dev/null")) {}
    ~LoopDevice() {
        if (!node.empty())
            std::system(("losetup --detach " + node + " 2>/dev/null").c_str());
    }
    std::string node;
};

// A process in a mount namespace of its own that keeps a device mounted until it is released.
class ForeignMount {
public:
    ForeignMount(const std::string& device, const fs::path& mountPoint) {
        int ready[2], release[2];
        if (::pipe(ready) != 0 || ::pipe(release) != 0)
            return;
        pid = ::fork();
        if (pid == 0) {
            ::close(ready[0]);
            ::close(release[1]);
            // Private first, so the mount stays inside the new namespace.
            const bool ok = ::unshare(CLONE_NEWNS) == 0 &&
                            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                            ::mount(device.c_str(), mountPoint.c_str(), "ext4", 0, nullptr) == 0;
            const char answer = ok ? 'y' : 'n';
            [[maybe_unused]] auto n = ::write(ready[1], &answer, 1);
            char c;
            [[maybe_unused]] auto m = ::read(release[0], &c, 1);  // until the test lets go
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        releaseFd = release[1];
        char answer = 'n';
        mounted = ::read(ready[0], &answer, 1) == 1 && answer == 'y';
        ::close(ready[0]);
    }
    ~ForeignMount() {
        if (releaseFd >= 0)
            ::close(releaseFd);
        if (pid > 0)
            ::waitpid(pid, nullptr, 0);
    }
    bool mounted = false;

private:
    pid_t pid = -1;
    int releaseFd = -1;
};

class HelperBlockDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root for a loop device";
        ensureApplication();
        fs::permissions(dir.path, fs::perms(0755));
        makeExt4Image(image, 8);
        loop = std::make_unique<LoopDevice>(image);
        if (loop->node.empty())
            GTEST_SKIP() << "no free loop device";
        struct stat st {};
        ASSERT_EQ(::stat(loop->node.c_str(), &st), 0);
        // sdq of the fake tree is the loop device: same number, and a device node for it.
        const std::string number =
            std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
        system.addDisk({"sdq", number, Bus::usb});
        fs::remove(system.dev / "sdq");
        if (::mknod((system.dev / "sdq").c_str(), S_IFBLK | 0600, st.st_rdev) != 0)
            GTEST_SKIP() << "cannot make device nodes here";
        if (UniqueFd probe(::open((system.dev / "sdq").c_str(), O_RDONLY | O_CLOEXEC)); !probe)
            GTEST_SKIP() << "device nodes cannot be opened here (nodev)";
        daemon = std::make_unique<DaemonProcess>(socket, system.daemonArguments(), log);
    }

    PrivilegedHelperClient::Options options() {
        PrivilegedHelperClient::Options o;
        o.socketPath = QString::fromStdString(socket.string());
        o.replyTimeout = 20s;
        return o;
    }

    std::string ejectFailure(PrivilegedHelperClient& client) {
        try {
            run(client.ejectDisk(QStringLiteral("sdq")));
        } catch (const HelperError& e) {
            return e.what();
        }
        return "ejected";
    }

    std::string openFailure(PrivilegedHelperClient& client) {
        try {
            run(client.openDisk(QStringLiteral("sdq"), false));
        } catch (const HelperError& e) {
            return e.what();
        }
        return "opened";
    }

    std::string detached() {
        std::string word;
        std::ifstream(system.scsiDelete("sdq")) >> word;
        return word;
    }

    TempDir dir;
    fs::path image = dir.path / "card.img";
    fs::path socket = dir.path / "helper.sock";
    fs::path log = dir.path / "helper.log";
    FakeSystem system{dir.path / "machine"};
    std::unique_ptr<LoopDevice> loop;
    std::unique_ptr<DaemonProcess> daemon;
};

}  // namespace

TEST_F(HelperBlockDeviceTest, DiskMountedInAnotherNamespaceIsNeitherOpenedNorEjected) {
    const fs::path mountPoint = dir.path / "mnt";
    fs::create_directories(mountPoint);
    {
        ForeignMount mount(loop->node, mountPoint);
        ASSERT_TRUE(mount.mounted) << "cannot mount " << loop->node << " in a new namespace";
        // Invisible from here: no mount table the daemon can read lists it.
        EXPECT_TRUE(fs::is_empty(mountPoint));
        PrivilegedHelperClient client(options());
        const std::string inUse = "sdq is in use (mounted, or opened by another program)";
        EXPECT_EQ(openFailure(client), "Failed to open disk: " + inUse);
        EXPECT_EQ(ejectFailure(client), "Failed to eject disk: " + inUse);
        EXPECT_EQ(detached(), "");
    }
}

TEST_F(HelperBlockDeviceTest, EjectWaitsUntilTheDescriptorHandedOutIsClosed) {
    PrivilegedHelperClient client(options());
    UniqueFd handed = run(client.openDisk(QStringLiteral("sdq"), false));
    ASSERT_TRUE(handed.valid());
    // Another user's VM holding the disk, or the app's own before its VM has let go.
    EXPECT_EQ(ejectFailure(client),
              "Failed to eject disk: sdq is in use (mounted, or opened by another program)");
    EXPECT_EQ(openFailure(client),
              "Failed to open disk: sdq is in use (mounted, or opened by another program)");
    EXPECT_EQ(detached(), "");
    handed.reset();  // the VM released it
    EXPECT_EQ(ejectFailure(client), "ejected");
    EXPECT_EQ(detached(), "1");
}

namespace {

std::string heldDiskRequest(int id, const std::string& name = "sdq") {
    return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
           R"(,"method":"open_held_disk","params":{"bsd_name":")" + name + "\"}}\n";
}

class HeldDiskTest : public HelperBlockDeviceTest {
protected:
    void SetUp() override {
        HelperBlockDeviceTest::SetUp();
        if (IsSkipped())
            return;
        // Another disk, with a partition table: its whole disk and its partition.
        const fs::path otherImage = dir.path / "other.img";
        makeExt4Image(otherImage, 8);
        ASSERT_EQ(std::system(("echo 'start=2048, type=83' | sfdisk -q '" + otherImage.string() +
                               "' >/dev/null 2>&1")
                                  .c_str()),
                  0);
        other = std::make_unique<LoopDevice>(otherImage, "--partscan");
        if (other->node.empty())
            GTEST_SKIP() << "no second free loop device";
    }

    // The reply line to `line` sent with `fds` on a connection of its own.
    std::string answer(const std::string& line, const std::vector<int>& fds,
                       UniqueFd* received = nullptr) {
        RawClient raw(socket);
        EXPECT_TRUE(raw.send(line, fds));
        return raw.readLine(received);
    }

    std::unique_ptr<LoopDevice> other;
};

}  // namespace

TEST_F(HeldDiskTest, OnlyTheHoldersOwnDescriptorOfTheDiskOpensItWritable) {
    PrivilegedHelperClient client(options());
    UniqueFd held = run(client.openDisk(QStringLiteral("sdq"), true));
    ASSERT_TRUE(held.valid());
    const UniqueFd regular(::open(image.c_str(), O_RDONLY | O_CLOEXEC));
    int pipeEnds[2];
    ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
    const UniqueFd pipeRead(pipeEnds[0]), pipeWrite(pipeEnds[1]);
    const UniqueFd pathOnly(::open((system.dev / "sdq").c_str(), O_PATH | O_CLOEXEC));
    const UniqueFd otherDisk(::open(other->node.c_str(), O_RDONLY | O_CLOEXEC));
    const UniqueFd otherPart(::open((other->node + "p1").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(regular && pathOnly && otherDisk);

    const std::string oneFd = "open_held_disk takes exactly one descriptor";
    const std::string notBlock = "is not an open block device";
    const std::string notThis = "The descriptor passed is not sdq";
    struct Case {
        const char* what;
        std::vector<int> fds;
        std::string refusal;
        std::string name = "sdq";
    };
    std::vector<Case> cases{
        {"no descriptor", {}, oneFd},
        {"two descriptors", {held.get(), held.get()}, oneFd},
        {"a regular file", {regular.get()}, notBlock},
        {"a pipe", {pipeRead.get()}, notBlock},
        {"the node opened as a path only", {pathOnly.get()}, notBlock},
        {"another disk", {otherDisk.get()}, notThis},
        {"the held disk under another name", {held.get()}, "Invalid device name", "/dev/sdq"},
    };
    if (otherPart)
        cases.push_back({"a partition", {otherPart.get()}, notThis});
    for (const Case& c : cases) {
        UniqueFd received;
        const std::string reply = answer(heldDiskRequest(7, c.name), c.fds, &received);
        EXPECT_NE(reply.find(c.refusal), std::string::npos) << c.what << ": " << reply;
        EXPECT_NE(reply.find("\"error\""), std::string::npos) << c.what << ": " << reply;
        EXPECT_FALSE(received.valid()) << c.what << ": a descriptor was handed out";
    }

    // A descriptor of the very disk, but nobody holds it exclusively: not a holder's.
    UniqueFd mine(::open((system.dev / "sdq").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(mine.valid());
    held.reset();
    EXPECT_NE(answer(heldDiskRequest(8), {mine.get()}).find("sdq is not held"), std::string::npos);
}

TEST_F(HeldDiskTest, TheHolderGetsAWritableDescriptorOfTheSameCard) {
    PrivilegedHelperClient client(options());
    const UniqueFd held = run(client.openDisk(QStringLiteral("sdq"), true));
    ASSERT_TRUE(held.valid());
    // A request without its descriptor, then one with it, back to back on one connection: the
    // descriptor belongs to the second alone.
    RawClient raw(socket);
    ASSERT_TRUE(raw.send(heldDiskRequest(1), {}));
    ASSERT_TRUE(raw.send(heldDiskRequest(2), {held.get()}));
    // (Both replies may come in one read: the descriptor is looked for beside either.)
    UniqueFd first, second;
    EXPECT_NE(raw.readLine(&first).find("exactly one descriptor"), std::string::npos);
    EXPECT_NE(raw.readLine(&second).find("\"fd_count\":1"), std::string::npos);
    EXPECT_TRUE(first.valid() || second.valid());

    // Through the app's client: writable, the same block device, and writes reach the card.
    UniqueFd writable = run(client.openHeldDisk(QStringLiteral("sdq"), held.get()));
    ASSERT_TRUE(writable.valid());
    EXPECT_EQ(::fcntl(writable.get(), F_GETFL) & O_ACCMODE, O_RDWR);
    struct stat mine {
    }, card{};
    ASSERT_EQ(::fstat(writable.get(), &mine), 0);
    ASSERT_EQ(::stat(loop->node.c_str(), &card), 0);
    EXPECT_TRUE(S_ISBLK(mine.st_mode));
    EXPECT_EQ(mine.st_rdev, card.st_rdev);
    const std::string mark = "written beside the holder";
    constexpr off_t at = 6 << 20;  // past the filesystem's metadata
    ASSERT_EQ(::pwrite(writable.get(), mark.data(), mark.size(), at),
              static_cast<ssize_t>(mark.size()));
    ASSERT_EQ(::fsync(writable.get()), 0);
    std::string onImage(mark.size(), '\0');
    const UniqueFd file(::open(image.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(::pread(file.get(), onImage.data(), onImage.size(), at),
              static_cast<ssize_t>(onImage.size()));
    EXPECT_EQ(onImage, mark);

    // The holder's claim still keeps everyone else out.
    EXPECT_EQ(openFailure(client),
              "Failed to open disk: sdq is in use (mounted, or opened by another program)");
}
