// The method table's contract: every failure becomes an error reply, never an escape.

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>

#include <stdexcept>

#include "agent/agent_error.h"
#include "agent/connection.h"
#include "agent/dispatcher.h"

namespace quorvale::agent {
namespace {

namespace json = boost::json;

class DispatcherTest : public ::testing::Test {
protected:
    void SetUp() override {
        dispatcher.add("echo", [](const ParamReader& p) { return json::value(p.string("text")); });
        dispatcher.add("count", [](const ParamReader& p) {
            return json::value(p.optionalCount("n").value_or(-1));
        });
        dispatcher.add("throws_logic", [](const ParamReader&) -> json::value {
            throw std::logic_error("broken invariant");
        });
        dispatcher.add("throws_int", [](const ParamReader&) -> json::value { throw 42; });
        dispatcher.add("throws_system", [](const ParamReader&) -> json::value {
            throw AgentError::system(EACCES, "/secret");
        });
    }
    json::object reply(std::string_view line) {
        const auto text = dispatcher.handleLine(line);
        EXPECT_TRUE(text.has_value());
        return json::parse(text.value_or("{}")).as_object();
    }
    Dispatcher dispatcher;
};

TEST_F(DispatcherTest, RoutesByMethodName) {
    EXPECT_EQ(*dispatcher.handleLine(
                  R"({"jsonrpc":"2.0","id":3,"method":"echo","params":{"text":"hi"}})"),
              R"({"jsonrpc":"2.0","id":3,"result":"hi"})");
    EXPECT_EQ(reply(R"({"jsonrpc":"2.0","id":4,"method":"count","params":{"n":5}})").at("result"),
              5);
    EXPECT_EQ(reply(R"({"jsonrpc":"2.0","id":4,"method":"count","params":{}})").at("result"), -1);
    EXPECT_FALSE(dispatcher.handleLine("").has_value());
    EXPECT_FALSE(dispatcher.handleLine(" \r").has_value());
}

TEST_F(DispatcherTest, ErrorsCarryCodeMessageAndId) {
    auto r = reply(R"({"jsonrpc":"2.0","id":5,"method":"throws_system","params":{}})");
    EXPECT_EQ(r.at("id"), 5);
    EXPECT_EQ(r.at("error").at("code"), -EACCES);
    EXPECT_EQ(r.at("error").at("message"), "Permission denied: /secret");

    r = reply(R"({"jsonrpc":"2.0","id":6,"method":"throws_logic","params":{}})");
    EXPECT_EQ(r.at("error").at("code"), -32603);
    EXPECT_EQ(r.at("error").at("message"), "Internal error: broken invariant");

    r = reply(R"({"jsonrpc":"2.0","id":7,"method":"throws_int","params":{}})");
    EXPECT_EQ(r.at("error").at("code"), -32603);

    r = reply(R"({"jsonrpc":"2.0","id":8,"method":"echo","params":{"text":1}})");
    EXPECT_EQ(r.at("error").at("code"), -32602);
    EXPECT_EQ(r.at("error").at("message"), "Invalid params: \"text\" must be a string");
    r = reply(R"({"jsonrpc":"2.0","id":8,"method":"echo","params":{}})");
    EXPECT_EQ(r.at("error").at("message"), "Invalid params: missing string member \"text\"");
    r = reply(R"({"jsonrpc":"2.0","id":9,"method":"count","params":{"n":-3}})");
    EXPECT_EQ(r.at("error").at("message"), "Invalid params: \"n\" must not be negative");
    r = reply(R"({"jsonrpc":"2.0","id":9,"method":"count","params":{"n":18446744073709551615}})");
    EXPECT_EQ(r.at("error").at("code"), -32602) << "beyond 64-bit signed is not an integer here";
}

TEST_F(DispatcherTest, MalformedRequestsStillAnswer) {
    auto r = reply("{not json");
    EXPECT_TRUE(r.at("id").is_null());
    EXPECT_EQ(r.at("error").at("code"), -32700);

    r = reply(R"({"jsonrpc":"2.0","id":12,"method":"echo","params":"text"})");
    EXPECT_EQ(r.at("id"), 12) << "the id is kept when the line parsed";
    EXPECT_EQ(r.at("error").at("code"), -32602);

    r = reply(R"({"jsonrpc":"2.0","id":"abc","method":"echo"})");
    EXPECT_TRUE(r.at("id").is_null());
    EXPECT_EQ(r.at("error").at("code"), -32600);

    r = reply(R"({"jsonrpc":"2.0","id":13,"method":"missing"})");
    EXPECT_EQ(r.at("error").at("code"), -32601);
    EXPECT_EQ(r.at("error").at("message"), "Method not found: missing");
}

TEST(LeadingRequestId, IsFoundOnlyWhenWhole) {
    const std::pair<std::string_view, std::optional<std::int64_t>> cases[] = {
        {R"({"jsonrpc":"2.0","id":7,"method":"write_file","params":{"data_b64":"AAAA)", 7},
        {R"({"id": 12})", 12},
        {R"({"jsonrpc":"2.0","id":-5,)", -5},
        {R"({"jsonrpc":"2.0","id":123)", std::nullopt},  // the number may go on
        {R"({"jsonrpc":"2.0","id":"7",)", std::nullopt},
        {R"({"jsonrpc":"2.0","method":"ping")", std::nullopt},
        {R"({"id":99999999999999999999,)", std::nullopt},
    };
    for (const auto& [start, id] : cases)
        EXPECT_EQ(leadingRequestId(start), id) << start;
}

}  // namespace
}  // namespace quorvale::agent
