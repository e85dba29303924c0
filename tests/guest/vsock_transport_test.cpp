// VsockTransport against a real socketpair whose far end the test scripts line by line.

#include "guest/vsock_transport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <thread>

#include "guest/transport_harness.h"
#include "rpc/json_rpc.h"

using namespace quorvale;
using namespace quorvale::guest;
using namespace quorvale::testing;

namespace {

std::string reply(std::int64_t id, std::string_view resultJSON) {
    return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"result":)" +
           std::string(resultJSON) + "}\n";
}

std::int64_t idOf(const std::optional<std::string>& line) {
    if (!line)
        throw std::runtime_error("no request line");
    return rpc::JSONRPCRequest::decode(*line).id;
}

std::optional<rpc::JSONRPCError> guestError(const Outcome<std::optional<rpc::AnyCodable>>& call) {
    if (!call.error)
        return std::nullopt;
    try {
        std::rethrow_exception(call.error);
    } catch (const rpc::JSONRPCError& e) {
        return e;
    } catch (...) {
        return std::nullopt;
    }
}

class VsockTransportTest : public ::testing::Test {
protected:
    void SetUp() override {
        ensureApplication();
        auto [mine, theirs] = StreamPeer::create();
        peer.emplace(std::move(theirs));
        transport.connect(std::move(mine));
    }

    VsockLog log;
    VsockTransport transport;
    std::optional<StreamPeer> peer;
};

TEST(VsockTransportUnconnected, RefusesCallsWithoutUsingAnId) {
    ensureApplication();
    VsockLog log;
    VsockTransport transport;
    EXPECT_FALSE(transport.isConnected());
    const auto refused = await(transport.send("ping"));
    ASSERT_TRUE(refused.finished);
    EXPECT_EQ(refused.errorText(), "Vsock not connected");

    transport.disconnect();
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Vsock transport disconnected"});

    auto [mine, theirs] = StreamPeer::create();
    transport.connect(std::move(mine));
    auto call = start(transport.send("ping"));
    EXPECT_EQ(idOf(theirs.readLine()), 1);
}

TEST_F(VsockTransportTest, WritesOneCompactLinePerRequestAndLogsIt) {
    EXPECT_TRUE(transport.isConnected());
    auto call = start(transport.send("ping"));
    EXPECT_EQ(peer->readLine(), R"({"jsonrpc":"2.0","id":1,"method":"ping","params":{}})");
    auto call2 = start(transport.send("stat", {{"path", "/a b"}, {"depth", 2}}));
    EXPECT_EQ(peer->readLine(),
              R"({"jsonrpc":"2.0","id":2,"method":"stat","params":{"depth":2,"path":"/a b"}})");
    peer->write(reply(1, R"("pong")") + reply(2, "null"));
    ASSERT_TRUE(spinUntil([&] { return call->finished && call2->finished; }));
    EXPECT_EQ(call->value.value()->stringValue(), "pong");
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"Vsock transport connected", "Sending RPC: ping (id: 1)",
                                        "Sending RPC: stat (id: 2)"}));
}

TEST_F(VsockTransportTest, IdsContinueAcrossReconnections) {
    for (std::int64_t expected = 1; expected <= 3; ++expected) {
        auto call = start(transport.send("ping"));
        const auto id = idOf(peer->readLine());
        EXPECT_EQ(id, expected);
        peer->write(reply(id, "true"));
        ASSERT_TRUE(spinUntil([&] { return call->finished; }));
        EXPECT_EQ(call->value.value()->boolValue(), true);
    }
    transport.disconnect();
    EXPECT_TRUE(peer->waitForEndOfStream());
    auto [mine, theirs] = StreamPeer::create();
    transport.connect(std::move(mine));
    auto call = start(transport.send("ping"));
    EXPECT_EQ(idOf(theirs.readLine()), 4);
}

TEST_F(VsockTransportTest, DeliversMergedAndSplitResponsesAndSkipsEmptyLines) {
    auto first = start(transport.send("a"));
    auto second = start(transport.send("b"));
    auto third = start(transport.send("c"));
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(peer->readLine());
    // Two responses in one write, with an empty line between them.
    peer->write(reply(1, "1") + "\n" + reply(2, "2"));
    ASSERT_TRUE(spinUntil([&] { return first->finished && second->finished; }));
    EXPECT_EQ(first->value.value()->intValue(), 1);
    EXPECT_EQ(second->value.value()->intValue(), 2);

    // One response in three pieces: nothing is delivered before its newline.
    const std::string line = reply(3, R"({"k":[true,null,"x"]})");
    peer->write(line.substr(0, 10));
    spinUntil([] { return false; }, 30ms);
    peer->write(line.substr(10, 20));
    spinUntil([] { return false; }, 30ms);
    EXPECT_FALSE(third->finished);
    peer->write(line.substr(30));
    ASSERT_TRUE(spinUntil([&] { return third->finished; }));
    EXPECT_EQ(third->value.value()->render(), R"({"k":[true,null,"x"]})");
    EXPECT_EQ(log.count("Failed to decode"), 0u);
    EXPECT_EQ(log.count("Received response"), 0u);
}

TEST_F(VsockTransportTest, ReturnsResultNothingOrTheGuestError) {
    auto neither = start(transport.send("a"));
    auto both = start(transport.send("b"));
    auto failed = start(transport.send("c"));
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(peer->readLine());
    peer->write(R"({"jsonrpc":"2.0","id":1})"
                "\n"
                R"({"jsonrpc":"2.0","id":2,"result":5,"error":{"code":-5,"message":"EIO: gone"}})"
                "\n"
                R"({"jsonrpc":"1.0","id":3,"error":{"code":7,"message":"NOENT","data":[1]},"x":0})"
                "\n");
    ASSERT_TRUE(spinUntil([&] { return neither->finished && both->finished && failed->finished; }));
    ASSERT_FALSE(neither->error);
    EXPECT_FALSE(neither->value.value().has_value());
    const auto bothError = guestError(*both);
    ASSERT_TRUE(bothError);
    EXPECT_EQ(bothError->code, -5);
    EXPECT_STREQ(bothError->what(), "EIO: gone");
    const auto failedError = guestError(*failed);
    ASSERT_TRUE(failedError);
    EXPECT_STREQ(failedError->what(), "NOENT");
    EXPECT_EQ(failedError->data.value().render(), "[1]");
    EXPECT_TRUE(transport.isConnected());
}

TEST_F(VsockTransportTest, MatchesConcurrentCallsAnsweredOutOfOrder) {
    // Many calls in flight; the answers come shuffled and cut at random points, so lines are
    // merged and split across reads in every way.
    constexpr int count = 300;
    std::vector<std::shared_ptr<Outcome<std::optional<rpc::AnyCodable>>>> calls;
    for (int i = 0; i < count; ++i)
        calls.push_back(start(transport.send("n", {{"i", i}})));
    std::vector<std::int64_t> ids;
    for (int i = 0; i < count; ++i)
        ids.push_back(idOf(peer->readLine()));
    std::thread answerer([&] {
        std::mt19937 random(7);
        auto shuffled = ids;
        std::shuffle(shuffled.begin(), shuffled.end(), random);
        std::string stream;
        for (const auto id : shuffled)
            stream += reply(id, R"({"twice":)" + std::to_string(id * 2) + "}");
        for (std::size_t at = 0; at < stream.size();) {
            const std::size_t piece = 1 + random() % 200;
            peer->write(std::string_view(stream).substr(at, piece));
            at += piece;
        }
    });
    const bool all = spinUntil([&] {
        return std::all_of(calls.begin(), calls.end(), [](auto& c) { return c->finished; });
    });
    answerer.join();
    ASSERT_TRUE(all);
    for (std::size_t i = 0; i < calls.size(); ++i) {
        ASSERT_FALSE(calls[i]->error) << calls[i]->errorText();
        EXPECT_EQ(calls[i]->value.value()->objectValue()->at("twice").as_int64(), ids[i] * 2);
    }
}

TEST_F(VsockTransportTest, LogsAndDropsRepliesToNoKnownCall) {
    auto call = start(transport.send("a", {}, std::chrono::milliseconds(200)));
    ASSERT_TRUE(peer->readLine());
    peer->write(reply(99, "1") + R"({"jsonrpc":"2.0","id":null,"result":1})" + "\n" +
                R"({"jsonrpc":"2.0","result":1})" + "\n");
    ASSERT_TRUE(spinUntil([&] { return call->finished; }));
    // None of them names the call: it ends by its timeout.
    EXPECT_EQ(call->errorText(), "Vsock request timed out");
    // On a slow machine the timeout may come first: wait for the reader to get through them.
    EXPECT_TRUE(spinUntil([&] {
        return log.contains("Received response for unknown request id: 99") &&
               log.count("Failed to decode RPC response: ") == 2;
    }));
    EXPECT_TRUE(transport.isConnected());

    // The connection is still usable.
    auto next = start(transport.send("b"));
    const auto id = idOf(peer->readLine());
    peer->write(reply(id, "2"));
    ASSERT_TRUE(spinUntil([&] { return next->finished; }));
    EXPECT_EQ(next->value.value()->intValue(), 2);
}

TEST_F(VsockTransportTest, AReplyThatDoesNotDecodeFailsItsCallAtOnce) {
    // Each answers the call with this id (%1) in a form that does not decode.
    const std::string replies[] = {
        R"({"jsonrpc":"2.0","id":%1,"result":"caf)"
        "\xe9"
        R"("})",                                            // not UTF-8
        R"({"jsonrpc":"2.0","id":%1,"error":{"code":1}})",  // no message
        R"({"id":%1,"result":1})",                          // no version
        R"({"jsonrpc":"2.0","id":%1,"error":"broken"})",
    };
    for (const auto& text : replies) {
        SCOPED_TRACE(text);
        // Far longer than the test may wait: the failure has to come from the reply.
        auto call = start(transport.send("a", {}, std::chrono::minutes(5)));
        const auto id = idOf(peer->readLine());
        std::string line = text;
        line.replace(line.find("%1"), 2, std::to_string(id));
        peer->write(line + "\n");
        ASSERT_TRUE(spinUntil([&] { return call->finished; }));
        EXPECT_EQ(call->errorText(), "Invalid RPC response");
        EXPECT_TRUE(transport.isConnected());
    }
    EXPECT_EQ(log.count("Failed to decode RPC response: "), std::size(replies));
}

TEST_F(VsockTransportTest, AStreamThatIsNotJsonEndsTheConnection) {
    auto first = start(transport.send("a", {}, std::chrono::minutes(5)));
    auto second = start(transport.send("b", {}, std::chrono::minutes(5)));
    ASSERT_TRUE(peer->readLine());
    ASSERT_TRUE(peer->readLine());
    peer->write("SSH-2.0-OpenSSH_9.2\n");
    ASSERT_TRUE(spinUntil([&] { return first->finished && second->finished; }));
    EXPECT_EQ(first->errorText(), "Invalid RPC response");
    EXPECT_EQ(second->errorText(), "Invalid RPC response");
    EXPECT_FALSE(transport.isConnected());
    EXPECT_EQ(log.count("Failed to decode RPC response: The given data was not valid JSON"), 1u);
}

TEST_F(VsockTransportTest, LateReplyAfterTimeoutIsUnknown) {
    auto call = start(transport.send("slow", {}, std::chrono::milliseconds(50)));
    const auto id = idOf(peer->readLine());
    ASSERT_TRUE(spinUntil([&] { return call->finished; }));
    EXPECT_EQ(call->errorText(), "Vsock request timed out");
    peer->write(reply(id, "1"));
    ASSERT_TRUE(
        spinUntil([&] { return log.contains("Received response for unknown request id: 1"); }));
    EXPECT_TRUE(transport.isConnected());
}

TEST_F(VsockTransportTest, DisconnectFailsWaitingCallsAndClosesTheStream) {
    auto first = start(transport.send("a"));
    auto second = start(transport.send("b"));
    ASSERT_TRUE(peer->readLine());
    ASSERT_TRUE(peer->readLine());
    transport.disconnect();
    // Failed synchronously, not by a later event.
    EXPECT_TRUE(first->finished);
    EXPECT_TRUE(second->finished);
    EXPECT_EQ(first->errorText(), "Vsock disconnected");
    EXPECT_EQ(second->errorText(), "Vsock disconnected");
    EXPECT_FALSE(transport.isConnected());
    EXPECT_TRUE(log.contains("Vsock transport disconnected"));
    EXPECT_TRUE(peer->waitForEndOfStream());

    EXPECT_EQ(await(transport.send("c")).errorText(), "Vsock not connected");
}

TEST_F(VsockTransportTest, PeerClosingMidLineFailsCallsAndLeavesNoPartialLine) {
    auto call = start(transport.send("a"));
    ASSERT_TRUE(peer->readLine());
    peer->write(R"({"jsonrpc":"2.0","id":1,"res)");
    peer->close();
    ASSERT_TRUE(spinUntil([&] { return call->finished; }));
    EXPECT_EQ(call->errorText(), "Vsock disconnected");
    EXPECT_FALSE(transport.isConnected());
    EXPECT_EQ(await(transport.send("b")).errorText(), "Vsock not connected");
    // End of stream is not a disconnect(): it is not logged as one.
    EXPECT_FALSE(log.contains("Vsock transport disconnected"));

    // The next stream starts with an empty buffer: its first line decodes on its own.
    auto [mine, theirs] = StreamPeer::create();
    transport.connect(std::move(mine));
    auto next = start(transport.send("c"));
    const auto id = idOf(theirs.readLine());
    theirs.write(reply(id, R"("ok")"));
    ASSERT_TRUE(spinUntil([&] { return next->finished; }));
    EXPECT_EQ(next->value.value()->stringValue(), "ok");
    EXPECT_EQ(log.count("Failed to decode"), 0u);
}

TEST_F(VsockTransportTest, ConnectingAgainReplacesTheStream) {
    auto old = start(transport.send("a"));
    ASSERT_TRUE(peer->readLine());
    auto [mine, theirs] = StreamPeer::create();
    transport.connect(std::move(mine));
    // The old stream is no longer read: its calls cannot be answered and fail at once.
    EXPECT_TRUE(old->finished);
    EXPECT_EQ(old->errorText(), "Vsock disconnected");
    EXPECT_TRUE(peer->waitForEndOfStream());

    auto call = start(transport.send("b"));
    const auto id = idOf(theirs.readLine());
    theirs.write(reply(id, "3"));
    ASSERT_TRUE(spinUntil([&] { return call->finished; }));
    EXPECT_EQ(call->value.value()->intValue(), 3);
}

TEST_F(VsockTransportTest, UnsupportedParameterUsesAnIdAndWritesNothing) {
    struct Date {};
    const auto refused =
        await(transport.send("a", {{"when", rpc::AnyCodable::unsupported(Date{})}}));
    EXPECT_EQ(refused.errorText(), "Unsupported type");
    auto call = start(transport.send("b"));
    // Nothing was written for the refused call: the first line is the next call, id 2.
    EXPECT_EQ(idOf(peer->readLine()), 2);
}

TEST(VsockTransportLifetime, DestroyingTheTransportFailsWaitingCalls) {
    ensureApplication();
    auto [mine, theirs] = StreamPeer::create();
    auto transport = std::make_unique<VsockTransport>();
    transport->connect(std::move(mine));
    auto call = start(transport->send("a"));
    ASSERT_TRUE(theirs.readLine());
    transport.reset();
    EXPECT_TRUE(call->finished);
    EXPECT_EQ(call->errorText(), "Vsock disconnected");
    EXPECT_TRUE(theirs.waitForEndOfStream());
}

}  // namespace
