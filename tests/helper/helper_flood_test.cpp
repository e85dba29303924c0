// The real daemon (test build, fake sysfs tree) under floods: another user opening connections
// by the hundred, a user over its share, and clients that begin a request and never end it.
// An authorised client must be served throughout.

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>
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

const std::string ping = R"({"jsonrpc":"2.0","id":5,"method":"ping"})"
                         "\n";

// "ok" for the ping's result, else the error message ("" when the connection just ended).
std::string outcome(const std::string& reply) {
    boost::system::error_code ec;
    const auto v = boost::json::parse(reply, ec);
    if (ec || !v.is_object())
        return "";
    if (v.as_object().contains("result"))
        return "ok";
    return std::string(v.at("error").at("message").as_string());
}

class HelperFloodTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root to act as another user";
        ensureApplication();
        fs::permissions(dir.path, fs::perms(0755));  // reachable by nobody
        system.addDisk({"sdb", "8:16", Bus::usb});
    }

    void start(std::vector<std::string> extra = {}) {
        auto args = system.daemonArguments();
        args.insert(args.end(), extra.begin(), extra.end());
        daemon = std::make_unique<DaemonProcess>(socket, args, log);
    }

    PrivilegedHelperClient::Options options() {
        PrivilegedHelperClient::Options o;
        o.socketPath = QString::fromStdString(socket.string());
        o.replyTimeout = 20s;
        return o;
    }

    int logLinesWith(const std::string& text) {
        std::ifstream in(log);
        int count = 0;
        for (std::string line; std::getline(in, line);)
            count += line.starts_with("audit: ") && line.find(text) != std::string::npos;
        return count;
    }

    ShortTempDir dir;
    fs::path socket = dir.path / "helper.sock";
    fs::path log = dir.path / "helper.log";
    FakeSystem system{dir.path / "machine"};
    std::unique_ptr<DaemonProcess> daemon;
};

}  // namespace

TEST_F(HelperFloodTest, UnauthorisedFloodLocksNobodyOut) {
    start();
    const int baseline = settledDescriptorCount(daemon->pid);
    // nobody (not in plugdev) opens 200 connections and asks on each, holding them all.
    AsNobody flood([&](int out, int) {
        std::vector<RawClient> held;
        for (int i = 0; i < 200; ++i) {
            held.emplace_back(socket);
            held.back().send(ping);
            if (i == 99)
                say(out, "s");  // half way: the authorised client starts now
        }
        int denied = 0, closed = 0;
        for (auto& client : held) {
            denied += outcome(client.readLine()).starts_with("ACCESS_DENIED: ");
            closed += client.readLine().empty();  // answered once, then closed
        }
        say(out, std::to_string(denied) + " " + std::to_string(closed));
    });
    ASSERT_EQ(flood.read(1), "s");
    {
        PrivilegedHelperClient client(options());
        for (int i = 0; i < 20; ++i) {
            UniqueFd fd = run(client.openDisk(QStringLiteral("sdb"), false));
            EXPECT_TRUE(fd.valid()) << i;
        }
    }
    EXPECT_EQ(flood.read(), "200 200");
    EXPECT_TRUE(flood.finished());
    EXPECT_EQ(logLinesWith("uid=65534 pid="), 200);  // every refusal logged
    // Nothing was kept for the flood: no thread, no descriptor.
    EXPECT_EQ(settledDescriptorCount(daemon->pid), baseline);
}

TEST_F(HelperFloodTest, AUserGetsAHandfulOfConnectionsAndAllUsersAFewMore) {
    // nobody is allowed here (nogroup is its group), up to 4 connections; 6 in all.
    start({"--group", "nogroup", "--max-per-user", "4", "--max-connections", "6"});
    AsNobody greedy([&](int out, int release) {
        std::vector<RawClient> held;
        std::string outcomes;
        for (int i = 0; i < 10; ++i) {
            held.emplace_back(socket);
            held.back().send(ping);
            outcomes += outcome(held.back().readLine()) + "|";
        }
        say(out, outcomes);
        waitForRelease(release);  // the four admitted stay connected until then
    });
    const std::string perUser = "Too many connections from user 65534|";
    std::string expected = "ok|ok|ok|ok|";
    for (int i = 0; i < 6; ++i)
        expected += perUser;
    EXPECT_EQ(greedy.read(expected.size()), expected);

    // Root is not held to a user's share, only to the total: two more fit.
    std::vector<RawClient> mine;
    std::string outcomes;
    for (int i = 0; i < 3; ++i) {
        mine.emplace_back(socket);
        mine.back().send(ping);
        outcomes += outcome(mine.back().readLine()) + "|";
    }
    EXPECT_EQ(outcomes, "ok|ok|Too many connections to the helper; try again|");

    // Connections given back are counted out: nobody is admitted again.
    greedy.letGo();
    EXPECT_TRUE(greedy.finished());
    // (Until the daemon has seen them go, a new one may still be turned away.)
    AsNobody again([&](int out, int) {
        std::string last;
        int turnedAway = 0;
        for (int attempt = 0; attempt < 200 && last != "ok"; ++attempt) {
            RawClient client(socket);
            client.send(ping);
            last = outcome(client.readLine());
            if (last != "ok") {
                // Per user, or over the total while the released ones are still counted.
                turnedAway += last.rfind("Too many connections", 0) == 0;
                std::this_thread::sleep_for(50ms);
            }
        }
        say(out, last + " " + std::to_string(turnedAway));
    });
    const auto [last, turnedAway] = [&] {
        std::istringstream words(again.read());
        std::string word;
        int count = -1;
        words >> word >> count;
        return std::pair(word, count);
    }();
    EXPECT_EQ(last, "ok");
    EXPECT_EQ(logLinesWith("Too many connections"), 7 + turnedAway);
}

TEST_F(HelperFloodTest, SlowClientsAreDroppedWhileIdleOnesStay) {
    start({"--request-timeout-ms", "300"});
    RawClient idle(socket);  // connected, between requests
    RawClient stalled(socket);
    ASSERT_TRUE(stalled.send(R"({"jsonrpc":"2.0","id":1,"meth)"));

    // A byte every 20 ms, of a line that never ends: each byte must not buy more time.
    std::atomic<bool> dropped = false;
    std::thread trickle([&] {
        RawClient slow(socket);
        for (int i = 0; i < 500 && !dropped; ++i) {  // up to 10 s
            char byte = 'x';
            if (::send(slow.fd.get(), &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT) != 1) {
                dropped = true;
                break;
            }
            std::this_thread::sleep_for(20ms);
        }
    });

    EXPECT_EQ(outcome(stalled.readLine()), "Request line not completed in time");
    EXPECT_EQ(stalled.readLine(), "");  // closed
    trickle.join();
    EXPECT_TRUE(dropped) << "a client sending one byte at a time was never dropped";

    // The idle connection outlived both and is still served.
    ASSERT_TRUE(idle.send(ping));
    EXPECT_EQ(outcome(idle.readLine()), "ok");
    PrivilegedHelperClient client(options());
    EXPECT_TRUE(run(client.openDisk(QStringLiteral("sdb"), false)).valid());
    EXPECT_EQ(logLinesWith("Request line not completed in time"), 2);
}
