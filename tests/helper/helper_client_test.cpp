// PrivilegedHelperClient against an in-process fake daemon: the name check, the reply
// mapping, once-only completion with the timeout, and the connection's life.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

#include <boost/json/serialize.hpp>

#include "disk/privileged_helper_client.h"
#include "helper/fake_helper_daemon.h"
#include "support/files.h"
#include "support/task_runner.h"

using namespace quorvale;
using namespace quorvale::disk;
using namespace quorvale::test;
using namespace quorvale::testing;
using namespace std::chrono_literals;

namespace {

std::string result(const boost::json::object& request, const std::string& body) {
    return R"({"jsonrpc":"2.0","id":)" + boost::json::serialize(request.at("id")) +
           R"(,"result":)" + body + "}";
}

std::string error(const boost::json::object& request, const std::string& message) {
    return R"({"jsonrpc":"2.0","id":)" + boost::json::serialize(request.at("id")) +
           R"(,"error":{"code":-32000,"message":)" +
           boost::json::serialize(boost::json::value(message)) + "}}";
}

std::string bsdName(const boost::json::object& request) {
    return std::string(request.at("params").as_object().at("bsd_name").as_string());
}

class HelperClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        ensureApplication();
        // A file whose identity the tests recognise in the descriptors they receive.
        marker =
            UniqueFd(::open((dir.path / "marker").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        ASSERT_TRUE(marker.valid());
    }

    PrivilegedHelperClient::Options options(std::chrono::milliseconds timeout = 5s) {
        PrivilegedHelperClient::Options o;
        o.socketPath = QString::fromStdString(socket.string());
        o.replyTimeout = timeout;
        return o;
    }

    // The fake's reply per disk name: sdb opens, "both" sends a descriptor and an error text...
    std::optional<FakeReply> answer(const boost::json::object& request) {
        const auto name = bsdName(request);
        if (name == "sdb" || name == "mmcblk0" || name == "sdb1")
            return FakeReply{result(request, R"({"fd_count":1})"), marker.get()};
        if (name == "sdc")  // descriptor and error text in one reply: the descriptor wins
            return FakeReply{
                R"({"jsonrpc":"2.0","id":)" + boost::json::serialize(request.at("id")) +
                    R"(,"result":{"fd_count":1},"error":{"code":-32000,"message":"busy"}})",
                marker.get()};
        if (name == "sdd")
            return FakeReply{error(request, "ACCESS_DENIED: user 1000 is not in plugdev")};
        if (name == "sde")
            return FakeReply{error(request, "sde is not a removable disk")};
        if (name == "sdf")  // neither descriptor nor error
            return FakeReply{result(request, "true")};
        if (name == "sdg")  // answers only after the client gave up
            return FakeReply{result(request, R"({"fd_count":1})"), marker.get(), 600ms};
        return std::nullopt;  // never answers
    }

    bool isMarker(int fd) const {
        struct stat a {
        }, b{};
        return ::fstat(fd, &a) == 0 && ::fstat(marker.get(), &b) == 0 && a.st_ino == b.st_ino &&
               a.st_dev == b.st_dev;
    }

    ShortTempDir dir;
    std::filesystem::path socket = dir.path / "helper.sock";
    UniqueFd marker;
    FakeHelperDaemon daemon{socket, [this](const auto& request) { return answer(request); }};
};

HelperError openError(PrivilegedHelperClient& client, const QString& name) {
    return failureOf<HelperError>(client.openDisk(name, false));
}

}  // namespace

TEST_F(HelperClientTest, NameCheckKeepsRefusedFormsFromTheDaemon) {
    PrivilegedHelperClient client(options());
    for (const char* good : {"sdb", "mmcblk0", "sdb1"}) {
        UniqueFd fd = run(client.openDisk(QString::fromLatin1(good), false));
        EXPECT_TRUE(isMarker(fd.get())) << good;
    }
    const QString refused[] = {QStringLiteral("/dev/sdb"),     QStringLiteral("sdb/.."),
                               QStringLiteral(".."),           QString(),
                               QStringLiteral("sd"),           QStringLiteral("sdb\n"),
                               QStringLiteral("disk4"),        QStringLiteral("rdisk4"),
                               QString::fromLatin1("sdb\0", 4)};
    for (const auto& name : refused) {
        const auto e = openError(client, name);
        EXPECT_EQ(e.kind, HelperError::Kind::invalidBSDName);
        EXPECT_EQ(e.description(), "Invalid BSD device name: " + name.toStdString());
    }
    const auto lines = daemon.receivedLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find(R"("bsd_name":"sdb")"), std::string::npos);
    EXPECT_NE(lines[0].find(R"("read_only":false)"), std::string::npos);
    EXPECT_NE(lines[1].find(R"("bsd_name":"mmcblk0")"), std::string::npos);
    EXPECT_EQ(daemon.acceptedConnections(), 1);  // one connection, reused
}

TEST_F(HelperClientTest, RepliesMapToDescriptorsAndErrors) {
    PrivilegedHelperClient client(options());
    UniqueFd both = run(client.openDisk(QStringLiteral("sdc"), false));
    EXPECT_TRUE(isMarker(both.get()));

    auto e = openError(client, QStringLiteral("sdd"));
    EXPECT_EQ(e.kind, HelperError::Kind::accessDenied);
    EXPECT_STREQ(e.what(), "Full Disk Access is required to read raw SD card devices");

    e = openError(client, QStringLiteral("sde"));
    EXPECT_EQ(e.kind, HelperError::Kind::openFailed);
    EXPECT_STREQ(e.what(), "Failed to open disk: sde is not a removable disk");

    e = openError(client, QStringLiteral("sdf"));
    EXPECT_EQ(e.kind, HelperError::Kind::openFailed);
    EXPECT_STREQ(e.what(), "Failed to open disk: Unknown error");
}

TEST_F(HelperClientTest, TimeoutCompletesOnceAndDropsTheLateDescriptor) {
    PrivilegedHelperClient client(options(200ms));
    run(client.openDisk(QStringLiteral("sdb"), false));  // connected; its descriptor closed
    const int before = openDescriptorCount(::getpid());
    for (const char* name : {"sdz", "sdg"}) {  // never answered; answered after 600 ms
        const auto e = openError(client, QString::fromLatin1(name));
        EXPECT_EQ(e.kind, HelperError::Kind::openFailed);
        EXPECT_STREQ(e.what(),
                     "Failed to open disk: Helper not responding (timed out). Is the helper "
                     "daemon running?");
    }
    // Let the late reply arrive: its descriptor must be closed, not kept or handed out.
    QEventLoop loop;
    QTimer::singleShot(800ms, &loop, &QEventLoop::quit);
    loop.exec();
    EXPECT_EQ(openDescriptorCount(::getpid()), before);
    // The connection still works after the late reply.
    UniqueFd fd = run(client.openDisk(QStringLiteral("sdb"), false));
    EXPECT_TRUE(isMarker(fd.get()));
}

TEST_F(HelperClientTest, OverlappingCallsCompleteIndependently) {
    PrivilegedHelperClient client(options(300ms));
    auto slow = client.openDisk(QStringLiteral("sdz"), false);  // never answered
    auto fast = client.openDisk(QStringLiteral("sdb"), false);
    UniqueFd fd = run(std::move(fast));
    EXPECT_TRUE(isMarker(fd.get()));
    EXPECT_THROW(run(std::move(slow)), HelperError);
}

TEST_F(HelperClientTest, ConnectionIsRemadeAfterItBreaks) {
    PrivilegedHelperClient client(options(5s));
    run(client.openDisk(QStringLiteral("sdb"), false));
    // A call waiting when the daemon hangs up fails at once rather than at the timeout.
    auto waiting = client.openDisk(QStringLiteral("sdz"), false);
    QTimer::singleShot(50ms, [this] { daemon.dropConnections(); });
    EXPECT_EQ(failureOf<HelperError>(std::move(waiting)).kind, HelperError::Kind::connectionFailed);
    UniqueFd fd = run(client.openDisk(QStringLiteral("sdb"), false));
    EXPECT_TRUE(isMarker(fd.get()));
    EXPECT_EQ(daemon.acceptedConnections(), 2);
}

TEST_F(HelperClientTest, ConnectionTurnedAwayAnswersEveryCallOnIt) {
    PrivilegedHelperClient client(options());
    const auto turnedAway = [](const char* message) {
        return std::string(R"({"jsonrpc":"2.0","id":null,"error":{"code":-32000,"message":")") +
               message + "\"}}";
    };
    daemon.turnAway(turnedAway("ACCESS_DENIED: user 1000 is not a member of the plugdev group"));
    auto first = client.openDisk(QStringLiteral("sdb"), false);
    auto second = client.openDisk(QStringLiteral("mmcblk0"), false);
    for (auto* call : {&first, &second})
        EXPECT_EQ(failureOf<HelperError>(std::move(*call)).kind, HelperError::Kind::accessDenied);
    EXPECT_EQ(failureOf<HelperError>(client.ejectDisk(QStringLiteral("sdb"))).kind,
              HelperError::Kind::accessDenied);

    daemon.turnAway(turnedAway("Too many connections from user 1000"));
    const auto e = openError(client, QStringLiteral("sdb"));
    EXPECT_EQ(e.kind, HelperError::Kind::openFailed);
    EXPECT_STREQ(e.what(), "Failed to open disk: Too many connections from user 1000");

    daemon.turnAway("");
    UniqueFd fd = run(client.openDisk(QStringLiteral("sdb"), false));
    EXPECT_TRUE(isMarker(fd.get()));
    EXPECT_EQ(daemon.receivedLines().size(), 1u);  // connections turned away were never read
}

TEST(HelperClient, UnreachableSocketFailsAtOnce) {
    ensureApplication();
    PrivilegedHelperClient::Options o;
    o.socketPath = QStringLiteral("/tmp/qvh-no-such-dir/helper.sock");
    PrivilegedHelperClient client(o);
    for (int i = 0; i < 2; ++i) {
        const auto e = openError(client, QStringLiteral("sdb"));
        EXPECT_EQ(e.kind, HelperError::Kind::connectionFailed);
        EXPECT_STREQ(e.what(), "Failed to connect to privileged helper");
    }
}

TEST_F(HelperClientTest, EjectMapsRefusals) {
    PrivilegedHelperClient client(options());
    // Served by the same fake: sdd is refused for permission, sde for policy.
    EXPECT_EQ(failureOf<HelperError>(client.ejectDisk(QStringLiteral("sdd"))).kind,
              HelperError::Kind::accessDenied);
    const auto refused = failureOf<HelperError>(client.ejectDisk(QStringLiteral("sde")));
    EXPECT_EQ(refused.kind, HelperError::Kind::ejectFailed);
    EXPECT_STREQ(refused.what(), "Failed to eject disk: sde is not a removable disk");
    EXPECT_NO_THROW(run(client.ejectDisk(QStringLiteral("sdb"))));
    const auto lines = daemon.receivedLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find(R"("method":"eject_disk")"), std::string::npos);
}
