// The daemon against a real block device: a loop device stands for a USB disk of the fake
// sysfs tree (its node there is a device node with the loop device's number), so that the
// kernel's own exclusive-open rules decide. Needs root and a free loop device; skipped where
// either is missing. The loop device is always detached.

#include <fcntl.h>
#include <linux/loop.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "disk/privileged_helper_client.h"
#include "helper/fake_system.h"
#include "support/files.h"
#include "support/task_runner.h"

using namespace quorvale;
using namespace quorvale::disk;
using namespace quorvale::test;
using namespace quorvale::testing;
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
        auto arguments = system.daemonArguments();
        arguments.insert(arguments.end(), daemonOptions.begin(), daemonOptions.end());
        daemon = std::make_unique<DaemonProcess>(socket, arguments, log);
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

    ShortTempDir dir;
    fs::path image = dir.path / "card.img";
    fs::path socket = dir.path / "helper.sock";
    fs::path log = dir.path / "helper.log";
    FakeSystem system{dir.path / "machine"};
    std::vector<std::string> daemonOptions;
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

std::string diskRequest(int id, const std::string& method, const std::string& name = "sdq") {
    return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":")" + method +
           R"(","params":{"bsd_name":")" + name + "\"}}\n";
}

std::string heldDiskRequest(int id, const std::string& name = "sdq") {
    return diskRequest(id, "open_held_disk", name);
}

std::string openReadOnlyRequest(int id, const std::string& name = "sdq") {
    return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
           R"(,"method":"open_disk","params":{"bsd_name":")" + name + R"(","read_only":true}})" +
           "\n";
}

// The reply to `line` sent with `fds` on `connection`; `received` gets its descriptor.
std::string ask(RawClient& connection, const std::string& line, const std::vector<int>& fds = {},
                UniqueFd* received = nullptr) {
    EXPECT_TRUE(connection.send(line, fds));
    return connection.readLine(received);
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

    // Whether the card's bytes at `at` read `mark`.
    bool cardHolds(const std::string& mark, off_t at = markOffset) {
        std::string onImage(mark.size(), '\0');
        const UniqueFd file(::open(image.c_str(), O_RDONLY | O_CLOEXEC));
        return ::pread(file.get(), onImage.data(), onImage.size(), at) ==
                   static_cast<ssize_t>(mark.size()) &&
               onImage == mark;
    }

    static constexpr off_t markOffset = 6 << 20;  // past the filesystem's metadata
    std::unique_ptr<LoopDevice> other;
};

}  // namespace

TEST_F(HeldDiskTest, OnlyTheDescriptorHandedToThisConnectionOpensTheDiskWritable) {
    RawClient holder(socket);
    UniqueFd held;
    ASSERT_NE(ask(holder, openReadOnlyRequest(1), {}, &held).find("fd_count"), std::string::npos);
    ASSERT_TRUE(held.valid());
    UniqueFd writable;
    ASSERT_NE(ask(holder, heldDiskRequest(2), {held.get()}, &writable).find("fd_count"),
              std::string::npos);
    ASSERT_TRUE(writable.valid());

    const UniqueFd regular(::open(image.c_str(), O_RDONLY | O_CLOEXEC));
    int pipeEnds[2];
    ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
    const UniqueFd pipeRead(pipeEnds[0]), pipeWrite(pipeEnds[1]);
    const UniqueFd pathOnly(::open((system.dev / "sdq").c_str(), O_PATH | O_CLOEXEC));
    const UniqueFd sameNode(::open((system.dev / "sdq").c_str(), O_RDONLY | O_CLOEXEC));
    const UniqueFd otherDisk(::open(other->node.c_str(), O_RDONLY | O_CLOEXEC));
    const UniqueFd otherPart(::open((other->node + "p1").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(regular && pathOnly && sameNode && otherDisk);

    const std::string oneFd = "open_held_disk takes exactly one descriptor";
    const std::string notHanded = "The descriptor passed is not the one handed out for sdq";
    const std::string notHeld = "is not held through this connection";
    struct Case {
        const char* what;
        std::vector<int> fds;
        std::string refusal;
        std::string name = "sdq";
        bool stranger = false;  // sent on another connection
    };
    std::vector<Case> cases{
        {"no descriptor", {}, oneFd},
        {"two descriptors", {held.get(), held.get()}, oneFd},
        {"a regular file", {regular.get()}, notHanded},
        {"a pipe", {pipeRead.get()}, notHanded},
        {"the node opened as a path only", {pathOnly.get()}, notHanded},
        {"the node opened afresh", {sameNode.get()}, notHanded},
        {"the writable descriptor handed out", {writable.get()}, notHanded},
        {"another disk", {otherDisk.get()}, notHanded},
        {"the held disk under another name", {held.get()}, "Invalid device name", "/dev/sdq"},
        {"the held descriptor for another disk", {held.get()}, "sdr " + notHeld, "sdr"},
        {"the held descriptor on another connection", {held.get()}, "sdq " + notHeld, "sdq", true},
    };
    if (otherPart)
        cases.push_back({"a partition", {otherPart.get()}, notHanded});
    for (const Case& c : cases) {
        RawClient stranger(socket);
        UniqueFd received;
        const std::string reply =
            ask(c.stranger ? stranger : holder, heldDiskRequest(7, c.name), c.fds, &received);
        EXPECT_NE(reply.find(c.refusal), std::string::npos) << c.what << ": " << reply;
        EXPECT_NE(reply.find("\"error\""), std::string::npos) << c.what << ": " << reply;
        EXPECT_FALSE(received.valid()) << c.what << ": a descriptor was handed out";
    }

    // Let go of: the very descriptor no longer counts, and the disk is free for others.
    EXPECT_EQ(ask(holder, diskRequest(8, "release_disk")),
              R"({"jsonrpc":"2.0","id":8,"result":true})");
    EXPECT_NE(ask(holder, heldDiskRequest(9), {held.get()}).find(notHeld), std::string::npos);
    held.reset();
    writable.reset();
    PrivilegedHelperClient client(options());
    EXPECT_TRUE(run(client.openDisk(QStringLiteral("sdq"), false)).valid());
}

TEST_F(HeldDiskTest, TheHolderGetsAWritableDescriptorOfTheSameCard) {
    {
        // A request without its descriptor, then one with it, back to back on one connection:
        // the descriptor belongs to the second alone.
        RawClient raw(socket);
        UniqueFd held;
        ask(raw, openReadOnlyRequest(1), {}, &held);
        ASSERT_TRUE(held.valid());
        ASSERT_TRUE(raw.send(heldDiskRequest(2), {}));
        ASSERT_TRUE(raw.send(heldDiskRequest(3), {held.get()}));
        // (Both replies may come in one read: the descriptor is looked for beside either.)
        UniqueFd first, second;
        EXPECT_NE(raw.readLine(&first).find("exactly one descriptor"), std::string::npos);
        EXPECT_NE(raw.readLine(&second).find("\"fd_count\":1"), std::string::npos);
        EXPECT_TRUE(first.valid() || second.valid());
        ask(raw, diskRequest(4, "release_disk"));
    }

    // Through the app's client: writable, the same block device, and writes reach the card.
    PrivilegedHelperClient client(options());
    const UniqueFd held = run(client.openDisk(QStringLiteral("sdq"), true));
    ASSERT_TRUE(held.valid());
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
    ASSERT_EQ(::pwrite(writable.get(), mark.data(), mark.size(), markOffset),
              static_cast<ssize_t>(mark.size()));
    ASSERT_EQ(::fsync(writable.get()), 0);
    EXPECT_TRUE(cardHolds(mark));

    // The holder's claim still keeps everyone else out.
    PrivilegedHelperClient stranger(options());
    EXPECT_EQ(openFailure(stranger),
              "Failed to open disk: sdq is in use (mounted, or opened by another program)");
}

TEST_F(HeldDiskTest, ACardSwappedInItsSlotIsNotOpenedWritable) {
    // A read-only loop device takes another backing file of the same size as a reader takes
    // another card (LOOP_CHANGE_FD); an open file of it then reports the new medium's number.
    const fs::path secondCard = dir.path / "second.img";
    makeExt4Image(secondCard, 8);
    LoopDevice reader(image, "--read-only");
    if (reader.node.empty())
        GTEST_SKIP() << "no free loop device";
    struct stat st {};
    ASSERT_EQ(::stat(reader.node.c_str(), &st), 0);
    system.addDisk({"sdr",
                    std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)),
                    Bus::usb});
    fs::remove(system.dev / "sdr");
    ASSERT_EQ(::mknod((system.dev / "sdr").c_str(), S_IFBLK | 0600, st.st_rdev), 0);

    PrivilegedHelperClient client(options());
    const UniqueFd held = run(client.openDisk(QStringLiteral("sdr"), true));
    ASSERT_TRUE(held.valid());
    const UniqueFd slot(::open(reader.node.c_str(), O_RDONLY | O_CLOEXEC));
    const UniqueFd swapped(::open(secondCard.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(::ioctl(slot.get(), LOOP_CHANGE_FD, swapped.get()), 0) << std::strerror(errno);
    try {
        run(client.openHeldDisk(QStringLiteral("sdr"), held.get()));
        ADD_FAILURE() << "the swapped card was opened writable";
    } catch (const HelperError& error) {
        EXPECT_NE(std::string(error.what()).find("The card in sdr was changed since it was opened"),
                  std::string::npos)
            << error.what();
    }
}

namespace {

// The helper allows only the group of two real users; the card is the loop device's.
class HeldDiskUsersTest : public HeldDiskTest {
protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root to make users";
        if (!users.ready)
            GTEST_SKIP() << "cannot make users here (groupadd, useradd)";
        daemonOptions = {"--group", users.group};
        HeldDiskTest::SetUp();
    }

    // Writes `mark` through `fd`, where the helper handed one out.
    static void scribble(const UniqueFd& fd, const std::string& mark) {
        if (fd && ::pwrite(fd.get(), mark.data(), mark.size(), markOffset) > 0)
            ::fsync(fd.get());
    }

    // Waits until nobody holds the card: a mount namespace that has ended lets go of it late.
    void waitUntilFree() {
        for (int i = 0; i < 500; ++i) {
            if (UniqueFd(::open(loop->node.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC)))
                return;
            std::this_thread::sleep_for(10ms);
        }
    }

    TemporaryUsers users{2};
};

}  // namespace

// A user of the group keeps the writable descriptor it got beside its own claim, lets go of the
// claim, and later presents the writable one as proof: while root holds the card, and while the
// card is mounted in another mount namespace.
TEST_F(HeldDiskUsersTest, AWritableDescriptorKeptIsNoProofLater) {
    const TemporaryUsers::User& attacker = users.users[0];
    const std::string mark = "the group's user was here";
    for (const bool mountedElsewhere : {true, false}) {
        waitUntilFree();
        AsUser child(attacker.uid, attacker.gid, [&](int out, int release) {
            UniqueFd writable;
            {
                RawClient first(socket);
                UniqueFd held;
                ask(first, openReadOnlyRequest(1), {}, &held);
                ask(first, heldDiskRequest(2), {held.get()}, &writable);
            }
            say(out, writable ? "W" : "-");
            waitForRelease(release);
            RawClient later(socket);
            UniqueFd again;
            const std::string reply = ask(later, heldDiskRequest(3), {writable.get()}, &again);
            scribble(again, mark);
            say(out, reply);
        });
        // Beside its own claim, on its own connection, it was given one.
        ASSERT_EQ(child.read(1), "W");
        PrivilegedHelperClient root(options());
        UniqueFd rootHolds;
        std::unique_ptr<ForeignMount> mount;
        if (mountedElsewhere) {
            fs::create_directories(dir.path / "mnt");
            mount = std::make_unique<ForeignMount>(loop->node, dir.path / "mnt");
            ASSERT_TRUE(mount->mounted);
        } else {
            rootHolds = run(root.openDisk(QStringLiteral("sdq"), false));
            ASSERT_TRUE(rootHolds.valid());
        }
        child.letGo();
        const std::string reply = child.read();
        EXPECT_TRUE(child.finished());
        EXPECT_NE(reply.find("sdq is not held through this connection"), std::string::npos)
            << reply;
        EXPECT_FALSE(cardHolds(mark)) << (mountedElsewhere ? "mounted elsewhere" : "root holds");
    }
}

// Another user of the group presents the first one's read-only descriptor while its claim
// stands.
TEST_F(HeldDiskUsersTest, AnotherUsersHeldDescriptorIsNoProof) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    UniqueFd ownerEnd(pair[0]), otherEnd(pair[1]);
    const std::string mark = "the other user was here";
    const TemporaryUsers::User& owner = users.users[0];
    const TemporaryUsers::User& thief = users.users[1];
    AsUser first(owner.uid, owner.gid, [&](int out, int release) {
        RawClient mine(socket);
        UniqueFd held;
        ask(mine, openReadOnlyRequest(1), {}, &held);
        RawClient(std::move(ownerEnd)).send("fd\n", {held.get()});
        say(out, held ? "H" : "-");
        waitForRelease(release);
    });
    ASSERT_EQ(first.read(1), "H");
    AsUser second(thief.uid, thief.gid, [&](int out, int) {
        UniqueFd held;
        RawClient(std::move(otherEnd)).readLine(&held);
        RawClient own(socket);
        UniqueFd writable;
        const std::string reply = ask(own, heldDiskRequest(2), {held.get()}, &writable);
        scribble(writable, mark);
        say(out, (held ? "passed " : "none ") + reply);
    });
    const std::string reply = second.read();
    EXPECT_TRUE(second.finished());
    EXPECT_EQ(reply.rfind("passed ", 0), 0u) << reply;
    EXPECT_NE(reply.find("sdq is not held through this connection"), std::string::npos) << reply;
    EXPECT_FALSE(cardHolds(mark));
}
