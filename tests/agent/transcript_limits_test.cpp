// Transcripts of the agent's resource limits: idle connections beyond the cap are turned away
// and cost nothing, and allocation failures under a memory limit fail their call only.

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <chrono>
#include <fstream>
#include <map>
#include <thread>
#include <vector>

#include "agent_process.h"

namespace quorvale::agent::test {
namespace {

namespace json = boost::json;

// A value from /proc/PID/status ("Threads", "VmRSS" in kB).
long statusValue(pid_t pid, const std::string& key) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(key + ":", 0) == 0)
            return std::stol(line.substr(key.size() + 1));
    }
    return -1;
}

// What the connections that were sent nothing have received when the agent ended them, by
// index; waits until `expected` have ended (or `limit` passed). Open ones are not listed.
std::map<int, std::string> settle(const std::vector<UniqueFd>& connections, std::size_t expected,
                                  std::chrono::seconds limit) {
    std::map<int, std::string> ended;  // by index
    std::map<int, std::string> partial;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::vector<pollfd> fds;
    for (const auto& c : connections)
        fds.push_back({c.get(), POLLIN, 0});
    while (ended.size() < expected && std::chrono::steady_clock::now() < deadline) {
        if (::poll(fds.data(), fds.size(), 200) <= 0)
            continue;
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            char buffer[512];
            const auto n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                partial[static_cast<int>(i)].append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            ended[static_cast<int>(i)] = partial[static_cast<int>(i)];
            fds[i].fd = -1;
        }
    }
    return ended;
}

TEST(AgentLimits, IdleConnectionsBeyondTheCapAreTurnedAwayAndCostNothing) {
    if (!allowOpenFiles(1100))
        GTEST_SKIP() << "a thousand connections need more descriptors";

    AgentProcess agent;
    AgentClient client = agent.connect();
    EXPECT_EQ(client.result("ping"), json::value("pong"));

    constexpr int idle = 1000;
    std::vector<UniqueFd> connections;
    for (int i = 0; i < idle; ++i) {
        connections.push_back(agent.connectRaw());
        ASSERT_TRUE(connections.back()) << "connection " << i << " failed";
    }
    const auto ended = settle(connections, idle - 7, std::chrono::seconds(20));
    // Seven more are served beside `client`; every other one got one line and was closed.
    EXPECT_EQ(ended.size(), static_cast<std::size_t>(idle - 7));
    for (const auto& [index, text] : ended) {
        const auto reply = json::parse(text).as_object();
        EXPECT_EQ(reply.at("error").at("message"), "Too many connections") << index;
    }
    EXPECT_TRUE(agent.running());
    EXPECT_LE(statusValue(agent.pid(), "Threads"), 12);
    EXPECT_LT(statusValue(agent.pid(), "VmRSS"), 32 * 1024) << "kB";
    EXPECT_EQ(client.result("ping"), json::value("pong"));

    // Once the idle ones go, new connections are served again.
    connections.clear();
    bool served = false;
    for (int attempt = 0; attempt < 100 && !served; ++attempt) {
        AgentClient next = agent.connect();
        next.sendLine(R"({"jsonrpc":"2.0","id":1,"method":"ping","params":{}})");
        served = next.readLine().value_or("").find("pong") != std::string::npos;
        if (!served)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(served);
}

#if defined(QUORVALE_SANITIZED)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

TEST(AgentLimits, AllocationFailuresFailOnlyTheirCalls) {
    if (sanitized)
        GTEST_SKIP() << "sanitizers reserve more address space than the limit";
    constexpr std::size_t limit = std::size_t{160} << 20;
    AgentOptions options;
    options.prepare = [](const std::string& root) {
        std::ofstream big(root + "/big.bin", std::ios::binary);
        big.seekp((std::streamoff{16} << 20) - 1);
        big.put('x');
    };
    options.addressSpace = limit;
    AgentProcess agent(std::move(options));
    AgentClient client = agent.connect();
    EXPECT_EQ(client.result("ping"), json::value("pong"));

    // One upload line of 60 MB: buffered, parsed and decoded it needs more than the limit.
    std::string line = R"({"jsonrpc":"2.0","id":1,"method":"write_file","params":{"path":"/x",)"
                       R"("data_b64":")";
    line.append(std::size_t{60} << 20, 'A');
    line += "\"}}\n";
    client.sendRaw(line);
    line = std::string();
    const auto reply = client.readReply();
    EXPECT_EQ(reply.at("id"), 1);
    EXPECT_EQ(reply.at("error").at("code"), -ENOMEM) << json::serialize(reply).substr(0, 200);
    EXPECT_EQ(client.result("ping"), json::value("pong"));

    // Eight reads of 16 MiB at once need far more than the limit: each call gets its answer,
    // the data or "Out of memory".
    for (int id = 10; id < 18; ++id) {
        client.sendLine(
            R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
            R"(,"method":"read_file","params":{"path":"/big.bin","max_bytes":16777216}})");
    }
    std::map<std::int64_t, std::string> outcomes;
    for (int i = 0; i < 8; ++i) {
        const auto answer = client.readReply();
        ASSERT_TRUE(answer.is_object());
        const auto& o = answer.as_object();
        if (o.contains("result")) {
            EXPECT_EQ(unbase64(o.at("result")).size(), std::size_t{16} << 20);
            outcomes[o.at("id").as_int64()] = "data";
        } else {
            EXPECT_EQ(o.at("error").at("code"), -ENOMEM) << json::serialize(o);
            outcomes[o.at("id").as_int64()] = "out of memory";
        }
    }
    EXPECT_EQ(outcomes.size(), 8u) << "every call answered once";
    EXPECT_TRUE(agent.running());

    client.result("write_file", {{"path", "/small.txt"}, {"data_b64", base64("fits")}});
    EXPECT_EQ(readText(agent.root() + "/small.txt"), "fits");
    EXPECT_EQ(unbase64(client.result("read_file", {{"path", "/small.txt"}})), "fits");
}

}  // namespace
}  // namespace quorvale::agent::test
