// Transcripts of the channel secret: a connection proves it first or is served nothing, and
// connections that never prove it cannot keep the one that does out.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>
#include <vector>

#include "agent_process.h"

namespace quorvale::agent::test {
namespace {

namespace json = boost::json;

constexpr const char* secret = "3f1e0c9b7a5d4e2f8091a2b3c4d5e6f70819a2b3c4d5e6f7a8b9c0d1e2f30415";

AgentOptions withSecret() {
    AgentOptions options;
    options.secret = secret;
    return options;
}

class AgentChannel : public ::testing::Test {
public:
    AgentChannel() : agent(withSecret()) {}

    AgentProcess agent;
};

TEST_F(AgentChannel, AConnectionThatDoesNotProveTheSecretIsServedNothing) {
    const struct {
        const char* what;
        std::string firstLine;
        const char* message;
    } refused[] = {
        {"a call before the secret",
         R"({"jsonrpc":"2.0","id":1,"method":"create_directory","params":{"path":"/made"}})",
         "Authentication required"},
        {"a wrong secret",
         R"({"jsonrpc":"2.0","id":1,"method":"authenticate","params":{"secret":")" +
             std::string(secret).replace(63, 1, "6") + R"("}})",
         "Authentication failed"},
        {"a prefix of the secret",
         R"({"jsonrpc":"2.0","id":1,"method":"authenticate","params":{"secret":")" +
             std::string(secret, 32) + R"("}})",
         "Authentication failed"},
        {"no secret", R"({"jsonrpc":"2.0","id":1,"method":"authenticate","params":{}})",
         "Authentication failed"},
        {"a secret of another type",
         R"({"jsonrpc":"2.0","id":1,"method":"authenticate","params":{"secret":7}})",
         "Authentication failed"},
        {"no request at all", "GET / HTTP/1.1", "Authentication required"},
        {"an endless first line", std::string(8192, 'x'), "Authentication required"},
    };
    for (const auto& r : refused) {
        SCOPED_TRACE(r.what);
        AgentClient client = agent.connect();
        // The agent may close before it has read all of this.
        client.trySend(r.firstLine + "\n" +
                       R"({"jsonrpc":"2.0","id":2,"method":"ping","params":{}})" + "\n");
        const auto reply = client.readReply();
        ASSERT_TRUE(reply.is_object());
        EXPECT_EQ(reply.at("error").at("code"), -EACCES);
        EXPECT_EQ(reply.at("error").at("message"), r.message);
        EXPECT_TRUE(client.waitForEnd(std::chrono::seconds(5))) << "the ping was not answered";
    }
    EXPECT_FALSE(exists(agent.root() + "/made"));
}

TEST_F(AgentChannel, AConnectionThatProvesTheSecretIsServed) {
    AgentClient client = agent.connect();
    EXPECT_EQ(client.result("authenticate", {{"secret", secret}}), json::value(true));
    EXPECT_EQ(client.result("ping"), json::value("pong"));
    client.result("create_directory", {{"path", "/made"}});
    EXPECT_TRUE(exists(agent.root() + "/made"));
    // A host that reconnects to a port the guest never saw close proves it again on the same
    // session; a wrong secret then ends what the session was allowed.
    EXPECT_EQ(client.result("authenticate", {{"secret", secret}}), json::value(true));
    EXPECT_EQ(client.result("ping"), json::value("pong"));
    EXPECT_EQ(client.error("authenticate", {{"secret", std::string(64, '0')}}).at("code"),
              json::value(-EACCES));
    EXPECT_TRUE(client.waitForEnd(std::chrono::seconds(5)));
    EXPECT_TRUE(agent.running());
}

TEST_F(AgentChannel, ASilentConnectionIsClosed) {
    AgentClient silent = agent.connect();
    EXPECT_TRUE(silent.waitForEnd(std::chrono::seconds(30)));
}

TEST_F(AgentChannel, IdleConnectionsOfOthersCannotKeepTheAppOut) {
    if (!allowOpenFiles(300))
        GTEST_SKIP() << "two hundred connections need more descriptors";
    std::vector<UniqueFd> idle;
    for (int i = 0; i < 200; ++i) {
        idle.push_back(agent.connectRaw());
        ASSERT_TRUE(idle.back()) << i;
    }
    AgentClient app = agent.connect();
    EXPECT_EQ(app.result("authenticate", {{"secret", secret}}), json::value(true));
    EXPECT_EQ(app.result("ping"), json::value("pong"));
    // Proven sessions stay: more strangers do not push the app out.
    for (int i = 0; i < 100; ++i)
        idle.push_back(agent.connectRaw());
    EXPECT_EQ(app.result("ping"), json::value("pong"));
    EXPECT_TRUE(agent.running());
}

// Whether a fresh connection that proves the secret, its first line arriving in two parts
// (as over a slow link), is then served a call.
bool servedAfterProof(const AgentProcess& agent) {
    const UniqueFd fd = agent.connectRaw();
    const std::string lines =
        R"({"jsonrpc":"2.0","id":1,"method":"authenticate","params":{"secret":")" +
        std::string(secret) + "\"}}\n" + R"({"jsonrpc":"2.0","id":2,"method":"ping","params":{}})" +
        "\n";
    const std::size_t cut = lines.size() / 4;
    const auto sent = [&](std::string_view part) {
        return ::send(fd.get(), part.data(), part.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(part.size());
    };
    if (!fd || !sent(std::string_view(lines).substr(0, cut)))
        return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    if (!sent(std::string_view(lines).substr(cut)))
        return false;
    std::string replies;
    char chunk[512];
    while (std::count(replies.begin(), replies.end(), '\n') < 2) {
        pollfd p{fd.get(), POLLIN, 0};
        const auto n = ::poll(&p, 1, 10'000) == 1 ? ::read(fd.get(), chunk, sizeof chunk) : 0;
        if (n <= 0)
            return false;
        replies.append(chunk, static_cast<std::size_t>(n));
    }
    return replies.find(R"("id":1,"result":true)") != std::string::npos &&
           replies.find(R"("id":2,"result":"pong")") != std::string::npos;
}

// Strangers connecting and hanging up soon after keep every slot taken; the app's connections
// are never the ones ended while their first line comes in.
TEST_F(AgentChannel, AFloodOfConnectionsNeverEndsTheAppsFirstLine) {
    std::atomic<bool> flooding{true};
    std::vector<std::thread> flood;
    for (int i = 0; i < 8; ++i) {
        flood.emplace_back([&] {
            while (flooding) {
                const UniqueFd stranger = agent.connectRaw();
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
    }
    int lost = 0;
    for (int i = 0; i < 50; ++i)
        lost += servedAfterProof(agent) ? 0 : 1;
    flooding = false;
    for (auto& thread : flood)
        thread.join();
    EXPECT_EQ(lost, 0) << "of 50 connections of the app";
    EXPECT_TRUE(agent.running());
}

}  // namespace
}  // namespace quorvale::agent::test
