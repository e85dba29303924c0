// Transcripts of the protocol itself: framing, bad lines and members, overlapping calls,
// several connections, and the partition-level methods.

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <filesystem>
#include <fstream>
#include <set>

#include "agent_process.h"

namespace quorvale::agent::test {
namespace {

namespace json = boost::json;

class AgentProtocol : public ::testing::Test {
protected:
    AgentProcess agent;
    AgentClient client = agent.connect();

    // The error object of the next reply line, which must carry `id` (or null).
    json::object nextError(std::optional<std::int64_t> id) {
        const auto reply = client.readReply();
        EXPECT_TRUE(reply.is_object());
        if (!reply.is_object())
            return {};
        const auto& o = reply.as_object();
        if (id)
            EXPECT_EQ(o.at("id"), json::value(*id)) << json::serialize(o);
        else
            EXPECT_TRUE(o.at("id").is_null()) << json::serialize(o);
        EXPECT_FALSE(o.contains("result"));
        return o.contains("error") ? o.at("error").as_object() : json::object{};
    }
    void expectPongStillAnswered() {
        client.sendLine(R"({"jsonrpc":"2.0","id":99,"method":"ping","params":{}})");
        EXPECT_EQ(client.readLine().value_or(""), R"({"jsonrpc":"2.0","id":99,"result":"pong"})");
    }
};

TEST_F(AgentProtocol, PingAnswersPongWithTheSameId) {
    client.sendLine(R"({"jsonrpc":"2.0","id":1,"method":"ping","params":{}})");
    EXPECT_EQ(client.readLine().value_or(""), R"({"jsonrpc":"2.0","id":1,"result":"pong"})");
    client.sendLine(R"({"jsonrpc":"2.0","id":7,"method":"ping"})");
    EXPECT_EQ(client.readLine().value_or(""), R"({"jsonrpc":"2.0","id":7,"result":"pong"})");
}

TEST_F(AgentProtocol, BadLinesGetErrorsAndTheConnectionStaysUsable) {
    client.sendLine("this is not json");
    EXPECT_EQ(nextError(std::nullopt).at("code"), json::value(-32700));
    expectPongStillAnswered();

    client.sendLine(R"({"jsonrpc":"2.0","id":2,"method":"list_dir)");  // truncated JSON
    EXPECT_EQ(nextError(std::nullopt).at("code"), json::value(-32700));

    client.sendLine(R"({"jsonrpc":"2.0","id":3,"method":"format_disk","params":{}})");
    auto error = nextError(3);
    EXPECT_EQ(error.at("code"), json::value(-32601));
    EXPECT_EQ(error.at("message"), json::value("Method not found: format_disk"));

    client.sendLine(R"({"jsonrpc":"2.0","id":4,"params":{}})");  // no method
    EXPECT_EQ(nextError(4).at("code"), json::value(-32600));

    client.sendLine(R"({"jsonrpc":"2.0","id":5,"method":"list_dir","params":[1,2]})");
    EXPECT_EQ(nextError(5).at("code"), json::value(-32602));

    client.sendLine(R"([1,2,3])");
    EXPECT_EQ(nextError(std::nullopt).at("code"), json::value(-32600));

    client.sendRaw("\n\r\n");  // blank lines are not requests and get no reply
    client.sendRaw(std::string("{\"id\":\xff\xfe}\n"));
    EXPECT_EQ(nextError(std::nullopt).at("code"), json::value(-32700));
    expectPongStillAnswered();
    EXPECT_TRUE(agent.running());
}

TEST_F(AgentProtocol, AnOverLongLineIsRefusedAndTheNextOneServed) {
    std::string huge = R"({"jsonrpc":"2.0","id":1,"method":"ping","params":{"pad":")";
    huge.append((std::size_t{64} << 20) + 16, 'x');
    huge += "\"}}\n";
    client.sendRaw(huge + R"({"jsonrpc":"2.0","id":2,"method":"ping","params":{}})" + "\n");
    // Answered under its id at once, although the line is never parsed.
    EXPECT_EQ(nextError(1).at("code"), json::value(-32600));
    EXPECT_EQ(client.readLine().value_or(""), R"({"jsonrpc":"2.0","id":2,"result":"pong"})");
    EXPECT_TRUE(agent.running());
}

TEST_F(AgentProtocol, MissingOrMistypedMembersAreNamed) {
    struct Case {
        const char* method;
        json::object params;
        const char* member;
    };
    const Case cases[] = {
        {"list_dir", {}, "\"path\""},
        {"list_dir", {{"path", 5}}, "\"path\""},
        {"list_dir", {{"path", "/"}, {"partition", 2}}, "\"partition\""},
        {"read_file", {{"path", "/x"}, {"max_bytes", "10"}}, "\"max_bytes\""},
        {"read_file", {{"path", "/x"}, {"max_bytes", 1.5}}, "\"max_bytes\""},
        {"read_file", {{"path", "/x"}, {"max_bytes", -1}}, "\"max_bytes\""},
        {"read_file", {{"path", "/x"}, {"offset", -5}}, "\"offset\""},
        {"write_file", {{"path", "/x"}}, "\"data_b64\""},
        {"write_file", {{"path", "/x"}, {"data_b64", "aGk="}, {"final", "yes"}}, "\"final\""},
        {"write_file", {{"path", "/x"}, {"data_b64", "a G k="}}, "\"data_b64\""},
        {"rename", {{"path", "/x"}}, "\"new_name\""},
        {"copy_file", {{"path", "/x"}}, "\"dest_path\""},
        {"copy_file",
         {{"path", "/x"}, {"dest_path", "/y"}, {"dest_partition", 1}},
         "\"dest_partition\""},
        {"sync", {{"disk", "sdb1"}}, "\"disk\""},
        {"unmount", {{"disk", "../sdb"}}, "\"disk\""},
        {"unmount", {{"disk", true}}, "\"disk\""},
        {"create_directory", {{"path", json::array{}}}, "\"path\""},
        {"delete", {{"path", nullptr}}, "\"path\""},
        {"dir_usage", {{"path", "relative/path"}}, "\"path\""},
    };
    for (const auto& c : cases) {
        const auto error = client.error(c.method, c.params);
        EXPECT_EQ(error.at("code"), json::value(-32602)) << c.method << " " << c.member;
        const auto message = std::string(error.at("message").as_string());
        EXPECT_NE(message.find(c.member), std::string::npos) << message;
    }
    EXPECT_TRUE(std::filesystem::is_empty(agent.root())) << "bad input changed the directory";
    expectPongStillAnswered();
}

TEST_F(AgentProtocol, ASlowReadDoesNotHoldUpAPing) {
    // Three reads of 16 MiB each take far longer than a ping; with calls answered one after
    // another the ping reply would come last.
    {
        std::ofstream big(agent.root() + "/big.bin", std::ios::binary);
        big.seekp((std::streamoff{16} << 20) - 1);
        big.put('x');
    }
    for (int id = 1; id <= 3; ++id) {
        client.sendLine(
            R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
            R"(,"method":"read_file","params":{"path":"/big.bin","max_bytes":16777216}})");
    }
    client.sendLine(R"({"jsonrpc":"2.0","id":4,"method":"ping","params":{}})");
    std::vector<std::int64_t> order;
    for (int i = 0; i < 4; ++i) {
        const auto reply = client.readReply();
        ASSERT_TRUE(reply.is_object());
        order.push_back(reply.as_object().at("id").as_int64());
        if (order.back() != 4) {
            EXPECT_EQ(unbase64(reply.as_object().at("result")).size(), std::size_t{16} << 20);
        }
    }
    EXPECT_EQ(std::set<std::int64_t>(order.begin(), order.end()),
              (std::set<std::int64_t>{1, 2, 3, 4}));
    EXPECT_NE(order.back(), 4) << "the ping waited for every read";
}

TEST_F(AgentProtocol, AcceptsConnectionAfterConnection) {
    auto second = agent.connect();
    EXPECT_EQ(second.result("ping"), json::value("pong"));
    EXPECT_EQ(client.result("ping"), json::value("pong"));
    for (int i = 0; i < 5; ++i) {
        auto shortLived = agent.connect();
        EXPECT_EQ(shortLived.result("ping"), json::value("pong"));
    }
    // A client that goes away with calls in flight does not disturb the others.
    {
        auto leaving = agent.connect();
        leaving.sendLine(R"({"jsonrpc":"2.0","id":1,"method":"dir_usage","params":{"path":"/"}})");
    }
    EXPECT_EQ(client.result("ping"), json::value("pong"));
}

TEST_F(AgentProtocol, PartitionMethods) {
    const auto partitions = client.result("get_partitions");
    ASSERT_TRUE(partitions.is_array());
    ASSERT_EQ(partitions.as_array().size(), 1u);
    const auto& p = partitions.as_array()[0].as_object();
    EXPECT_EQ(p.at("name"), json::value("sdb1"));
    EXPECT_EQ(p.at("label"), json::value("CARD"));
    EXPECT_TRUE(p.at("filesystem").is_string());
    EXPECT_GT(p.at("total_bytes").as_int64(), 0);
    EXPECT_GE(p.at("free_bytes").as_int64(), 0);
    EXPECT_LE(p.at("free_bytes").as_int64(), p.at("total_bytes").as_int64());

    // Any partition name acts on the one served directory.
    writeText(agent.root() + "/a.txt", "a");
    const auto listing = client.result("list_dir", {{"path", "/"}, {"partition", "sdb1"}});
    ASSERT_TRUE(listing.is_array());
    EXPECT_EQ(listing.as_array().size(), 1u);

    EXPECT_EQ(client.result("sync"), json::value(true));
    EXPECT_EQ(client.result("unmount"), json::value(true));
    EXPECT_EQ(client.result("sync", {{"disk", "sdb"}}), json::value(true));
    EXPECT_EQ(client.result("unmount", {{"disk", "mmcblk0"}}), json::value(true));
    EXPECT_EQ(client.result("ping"), json::value("pong"));
}

}  // namespace
}  // namespace quorvale::agent::test
