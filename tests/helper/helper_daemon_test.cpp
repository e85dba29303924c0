// The real quorvale-helper on a temporary socket over a fake sysfs tree whose disks are ext4
// image files, driven by PrivilegedHelperClient and by bare sockets.

#include <fcntl.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QEventLoop>
#include <QTimer>

#include <fstream>
#include <thread>

#include <gtest/gtest.h>
#include <boost/json/parse.hpp>

#include "disk/privileged_helper_client.h"
#include "helper/fake_helper_daemon.h"
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

bool hasExt4Magic(int fd) {
    unsigned char magic[2] = {};
    return ::pread(fd, magic, 2, 1024 + 0x38) == 2 && magic[0] == 0x53 && magic[1] == 0xEF;
}

std::string openLine(const std::string& name, int id = 1) {
    return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
           R"(,"method":"open_disk","params":{"bsd_name":)" + name + R"(,"read_only":false}})";
}

std::string readWord(const fs::path& path) {
    std::string word;
    std::ifstream(path) >> word;
    return word;
}

std::string errorMessage(const std::string& reply) {
    boost::system::error_code ec;
    const auto v = boost::json::parse(reply, ec);
    if (ec || !v.is_object() || !v.as_object().contains("error"))
        return {};
    return std::string(v.at("error").at("message").as_string());
}

class HelperDaemonTest : public ::testing::Test {
protected:
    void SetUp() override {
        ensureApplication();
        fs::permissions(dir.path, fs::perms(0755));  // reachable by the unprivileged client
        system.addDisk({"sdb", "8:16", Bus::usb});
        system.addDisk({"mmcblk0", "179:0", Bus::mmc});
        system.addDisk({"sdc", "8:32", Bus::fixed, /*removable=*/true});
        system.addDisk({"sda", "8:0", Bus::fixed});
        system.addDisk({"sdd", "8:48", Bus::usb, false, false, {{"sdd1", "8:49"}}});
        system.mount("8:49");
        system.addDisk({"sde", "8:64", Bus::usb, false, /*readOnly=*/true});
        system.addDisk({"sdf", "8:80", Bus::usb});
        fs::remove(system.dev / "sdf");  // a swapped node: not the disk sysfs describes
        ASSERT_EQ(::mkfifo((system.dev / "sdf").c_str(), 0600), 0);
        system.addDisk({"sdg", "8:96", Bus::usb});
        fs::remove(system.dev / "sdg");  // a symlink planted in the /dev tree
        fs::create_symlink(system.dev / "sdb", system.dev / "sdg");
        daemon = std::make_unique<DaemonProcess>(socket, system.daemonArguments(), log);
    }

    PrivilegedHelperClient::Options options() {
        PrivilegedHelperClient::Options o;
        o.socketPath = QString::fromStdString(socket.string());
        o.replyTimeout = 20s;
        return o;
    }

    std::string openFailure(PrivilegedHelperClient& client, const char* name) {
        try {
            run(client.openDisk(QString::fromLatin1(name), false));
        } catch (const HelperError& e) {
            return e.what();
        }
        return "opened";
    }

    int quietDescriptorCount(int connections = 0) {
        return settledDescriptorCount(daemon->pid, connections);
    }

    int auditLines() {
        std::ifstream in(log);
        int count = 0;
        for (std::string line; std::getline(in, line);)
            count += line.starts_with("audit: ");
        return count;
    }

    ShortTempDir dir;
    fs::path socket = dir.path / "helper.sock";
    fs::path log = dir.path / "helper.log";
    FakeSystem system{dir.path / "machine"};
    std::unique_ptr<DaemonProcess> daemon;
};

}  // namespace

TEST_F(HelperDaemonTest, PassesADescriptorOnTheCheckedDisk) {
    PrivilegedHelperClient client(options());
    UniqueFd sdb = run(client.openDisk(QStringLiteral("sdb"), false));
    ASSERT_TRUE(sdb.valid());
    EXPECT_TRUE(hasExt4Magic(sdb.get()));
    EXPECT_EQ(::fcntl(sdb.get(), F_GETFL) & O_ACCMODE, O_RDWR);
    EXPECT_TRUE(::fcntl(sdb.get(), F_GETFD) & FD_CLOEXEC);

    UniqueFd card = run(client.openDisk(QStringLiteral("mmcblk0"), true));
    EXPECT_TRUE(hasExt4Magic(card.get()));
    EXPECT_EQ(::fcntl(card.get(), F_GETFL) & O_ACCMODE, O_RDONLY);

    UniqueFd removable = run(client.openDisk(QStringLiteral("sdc"), false));
    EXPECT_TRUE(hasExt4Magic(removable.get()));
    EXPECT_EQ(auditLines(), 1 + 3);  // the start-up ping, then one line per request
}

TEST_F(HelperDaemonTest, RefusesAllButAWholeRemovableUnmountedDisk) {
    PrivilegedHelperClient client(options());
    run(client.openDisk(QStringLiteral("sdb"), false));  // connected
    // Answered on the same connection after the daemon has closed its copy of sdb.
    EXPECT_NE(openFailure(client, "sda"), "opened");
    const int baseline = quietDescriptorCount(1);

    const std::pair<const char*, const char*> refused[] = {
        {"sdb1", "Failed to open disk: sdb1 is a partition, not a whole disk"},
        {"sda", "Failed to open disk: sda is not a removable disk"},
        {"sdd", "Failed to open disk: sdd1 is in use: mounted on this computer; unmount it first"},
        {"sde", "Failed to open disk: The card in sde is write-protected (check its lock switch)"},
        {"sdx", "Failed to open disk: No such disk: sdx"},
    };
    for (const auto& [name, text] : refused)
        EXPECT_EQ(openFailure(client, name), text) << name;
    EXPECT_NE(openFailure(client, "sdf").find("is not the block device 8:80"), std::string::npos);
    EXPECT_NE(openFailure(client, "sdg").find("is a symbolic link"), std::string::npos);

    // Names the client would never send, straight onto the socket.
    for (const char* name : {R"("../sdb")", R"("sdb/..")", R"("sd\u0000b")", R"("sdb\n")",
                             R"("/dev/sdb")", R"("")", "42"}) {
        UniqueFd received;
        const auto reply = requestOnce(socket, openLine(name), &received);
        EXPECT_FALSE(received.valid()) << name;
        EXPECT_FALSE(errorMessage(reply).empty()) << name << ": " << reply;
    }
    EXPECT_EQ(quietDescriptorCount(1), baseline);
    EXPECT_EQ(auditLines(), 1 + 2 + 7 + 7);  // one line per request (the first: start-up ping)
}

TEST_F(HelperDaemonTest, AbusiveClientsEndOnlyTheirOwnConnection) {
    const int baseline = quietDescriptorCount();
    {
        RawClient client(socket);
        ASSERT_TRUE(client.send("{not json\n"));
        EXPECT_NE(errorMessage(client.readLine()).find("not valid JSON"), std::string::npos);
        ASSERT_TRUE(client.send(R"({"jsonrpc":"2.0","id":7,"method":"ping"})"
                                "\n"));
        EXPECT_EQ(client.readLine(), R"({"jsonrpc":"2.0","id":7,"result":true})");
    }
    {
        RawClient endless(socket);
        endless.send(std::string(200 * 1024, 'x'));
        EXPECT_EQ(errorMessage(endless.readLine()), "Request line too long");
        EXPECT_EQ(endless.readLine(), "");  // closed
    }
    for (int i = 0; i < 20; ++i) {  // asks for a descriptor and leaves at once
        RawClient early(socket);
        early.send(openLine(R"("sdb")") + "\n");
    }
    // A client stalled halfway through a line holds up nobody.
    RawClient stalled(socket);
    stalled.send(R"({"jsonrpc":"2.0","id":1,"meth)");
    {
        PrivilegedHelperClient client(options());
        UniqueFd fd = run(client.openDisk(QStringLiteral("sdb"), false));
        EXPECT_TRUE(hasExt4Magic(fd.get()));
    }
    stalled.fd.reset();
    EXPECT_EQ(quietDescriptorCount(), baseline);
}

TEST_F(HelperDaemonTest, RefusesOtherUsersUnlessTheyAreInTheGroup) {
    // A second daemon allowing the group "nogroup", the primary group of "nobody".
    const fs::path groupSocket = dir.path / "group.sock";
    DaemonProcess groupDaemon(
        groupSocket,
        [&] {
            auto args = system.daemonArguments();
            args.insert(args.end(), {"--group", "nogroup"});
            return args;
        }(),
        dir.path / "group.log");

    auto asNobody = [](const fs::path& path) {
        AsNobody child([&](int out, int) {
            UniqueFd received;
            const auto reply = requestOnce(path, openLine(R"("sdb")"), &received);
            say(out, (received.valid() ? "fd " : "none ") + reply);
        });
        const auto reply = child.read();
        EXPECT_TRUE(child.finished());
        return reply;
    };

    const auto refused = asNobody(socket);
    EXPECT_EQ(refused.rfind("none ", 0), 0u) << refused;
    EXPECT_EQ(errorMessage(refused.substr(5)).rfind("ACCESS_DENIED: ", 0), 0u) << refused;

    const auto allowed = asNobody(groupSocket);
    EXPECT_EQ(allowed.rfind("fd ", 0), 0u) << allowed;
}

TEST_F(HelperDaemonTest, ConcurrentOpensAreAnsweredIndependently) {
    PrivilegedHelperClient client(options());
    PrivilegedHelperClient other(options());
    std::vector<QCoro::Task<UniqueFd>> calls;
    const char* names[] = {"sdb", "mmcblk0", "sdc", "sda"};
    for (int i = 0; i < 8; ++i) {
        auto& c = i % 2 ? other : client;
        calls.push_back(c.openDisk(QString::fromLatin1(names[i % 4]), false));
    }
    for (int i = 0; i < 8; ++i) {
        if (names[i % 4] == std::string("sda")) {
            EXPECT_THROW(run(std::move(calls[i])), HelperError);
        } else {
            UniqueFd fd = run(std::move(calls[i]));
            EXPECT_TRUE(hasExt4Magic(fd.get())) << i;
        }
    }
}

TEST_F(HelperDaemonTest, RestartedDaemonIsReachedAgain) {
    PrivilegedHelperClient client(options());
    EXPECT_TRUE(run(client.openDisk(QStringLiteral("sdb"), false)).valid());
    daemon.reset();
    daemon = std::make_unique<DaemonProcess>(socket, system.daemonArguments(), log);
    UniqueFd fd = run(client.openDisk(QStringLiteral("sdb"), false));
    EXPECT_TRUE(hasExt4Magic(fd.get()));
}

TEST_F(HelperDaemonTest, EjectFlushesAndDetachesTheUsbDisk) {
    PrivilegedHelperClient client(options());
    DiskEjector& ejector = client;
    run(ejector.ejectDisk(QStringLiteral("sdb")));
    EXPECT_EQ(readWord(system.scsiDelete("sdb")), "1");
    EXPECT_EQ(readWord(system.usbDevice("sdb") / "remove"), "1");
    const auto e = failureOf<HelperError>(ejector.ejectDisk(QStringLiteral("sda")));
    EXPECT_EQ(e.kind, HelperError::Kind::ejectFailed);
    EXPECT_STREQ(e.what(), "Failed to eject disk: sda is not a removable disk");
    EXPECT_EQ(readWord(system.scsiDelete("sda")), "");
}

TEST_F(HelperDaemonTest, NeitherOpenNorEjectTouchesADiskInUse) {
    system.addDisk(
        {"sdh", "8:112", Bus::usb, false, false, {{"sdh1", "8:113"}, {"sdh2", "8:114"}}});
    system.swapOn("sdh2");
    system.addDisk({"sdi", "8:128", Bus::usb, false, false, {{"sdi1", "8:129"}}});
    system.hold("sdi1", "dm-0");
    system.addDisk(
        {"sdj", "8:144", Bus::usb, false, false, {{"sdj1", "8:145"}, {"sdj2", "8:146"}}});
    system.hold("sdj2", "md127");
    system.addDisk({"sdk", "8:160", Bus::usb});
    system.hold("sdk", "dm-1");
    std::vector<std::pair<const char*, const char*>> inUse = {
        {"sdd", "sdd1 is in use: mounted on this computer; unmount it first"},
        {"sdh", "sdh2 is in use as swap space"},
        {"sdi", "sdi1 is in use by dm-0 (device-mapper or RAID)"},
        {"sdj", "sdj2 is in use by md127 (device-mapper or RAID)"},
        {"sdk", "sdk is in use by dm-1 (device-mapper or RAID)"},
    };
    // Swap on a device node of another name (root may make one anywhere): known by its number.
    system.addDisk({"sdl", "8:176", Bus::usb, false, false, {{"sdl1", "8:177"}}});
    const fs::path node = system.root / "swap node";
    if (::mknod(node.c_str(), S_IFBLK | 0600, makedev(8, 177)) == 0) {
        system.swapOnPath(node);
        inUse.emplace_back("sdl", "sdl1 is in use as swap space");
    }
    PrivilegedHelperClient client(options());
    for (const auto& [name, text] : inUse) {
        EXPECT_EQ(openFailure(client, name), std::string("Failed to open disk: ") + text);
        const auto e = failureOf<HelperError>(client.ejectDisk(QString::fromLatin1(name)));
        EXPECT_EQ(e.kind, HelperError::Kind::ejectFailed);
        EXPECT_EQ(e.what(), std::string("Failed to eject disk: ") + text);
        EXPECT_EQ(readWord(system.scsiDelete(name)), "") << name;
        EXPECT_EQ(readWord(system.usbDevice(name) / "remove"), "") << name;
    }
    // Each refusal is logged, and the daemon goes on serving.
    EXPECT_EQ(auditLines(), 1 + 2 * static_cast<int>(inUse.size()));
    EXPECT_TRUE(run(client.openDisk(QStringLiteral("sdb"), false)).valid());
}

TEST_F(HelperDaemonTest, EjectPowersOffAReaderOnlyWithItsLastDisk) {
    // A two-slot reader: one USB device, a SCSI device (LUN) per slot.
    system.addDisk({"sdh", "8:112", Bus::usb, false, false, {{"sdh1", "8:113"}}, "reader", 0});
    system.addDisk({"sdi", "8:128", Bus::usb, false, false, {}, "reader", 1});
    system.mount("8:113");
    const fs::path reader = system.usbDevice("sdh");
    ASSERT_EQ(reader, system.usbDevice("sdi"));

    PrivilegedHelperClient client(options());
    run(client.ejectDisk(QStringLiteral("sdi")));  // the idle slot
    EXPECT_EQ(readWord(system.scsiDelete("sdi")), "1");
    EXPECT_EQ(readWord(system.scsiDelete("sdh")), "");
    EXPECT_EQ(readWord(reader / "remove"), "") << "powered off the slot in use";

    // The kernel drops the detached slot; once the other is unmounted it goes with the reader.
    fs::remove(system.sys / "class" / "block" / "sdi");
    system.unmount("8:113");
    run(client.ejectDisk(QStringLiteral("sdh")));
    EXPECT_EQ(readWord(system.scsiDelete("sdh")), "1");
    EXPECT_EQ(readWord(reader / "remove"), "1");
}

TEST(HelperDaemonActivation, ServesTheSocketSystemdPasses) {
    ShortTempDir dir;
    const fs::path path = dir.path / "activated.sock";
    RawClient probe(path);  // nothing listening yet
    EXPECT_FALSE(probe.connected());

    UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener.get(), 8), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(listener.get(), 3);
        ::setenv("LISTEN_PID", std::to_string(::getpid()).c_str(), 1);
        ::setenv("LISTEN_FDS", "1", 1);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDERR_FILENO);
        ::execl(QUORVALE_HELPER_BINARY, QUORVALE_HELPER_BINARY, nullptr);
        ::_exit(127);
    }
    listener.reset();
    EXPECT_EQ(requestOnce(path, R"({"jsonrpc":"2.0","id":1,"method":"get_version"})"),
              R"({"jsonrpc":"2.0","id":1,"result":"quorvale-helper 0.1.0"})");
    EXPECT_EQ(requestOnce(path, R"({"jsonrpc":"2.0","id":2,"method":"ping"})"),
              R"({"jsonrpc":"2.0","id":2,"result":true})");
    ::kill(child, SIGTERM);
    ::waitpid(child, nullptr, 0);
}
