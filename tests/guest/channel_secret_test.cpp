// The host's side of the channel secret on a real socketpair: the first line it sends, and
// every way the far end may answer.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <boost/json/parse.hpp>

#include "guest/stream_connector.h"
#include "guest/transport_harness.h"
#include "guest/vsock_transport.h"

using namespace quorvale;
using namespace quorvale::guest;
using namespace quorvale::testing;

namespace {

constexpr std::string_view secretText = "00112233445566778899aabbccddeeff";

TEST(ChannelSecretProof, FirstLineAndEveryAnswer) {
    ensureApplication();
    const struct {
        const char* what;
        std::string answer;  // written after the request line; "close" hangs up
        std::optional<std::string> failure;
    } cases[] = {
        {"accepted",
         R"({"jsonrpc":"2.0","id":0,"result":true})"
         "\n",
         std::nullopt},
        {"refused",
         R"({"jsonrpc":"2.0","id":0,"error":{"code":-13,"message":"Authentication failed"}})"
         "\n",
         "the guest agent refused the channel secret: Authentication failed"},
        {"another id",
         R"({"jsonrpc":"2.0","id":1,"result":true})"
         "\n",
         "the guest agent gave no valid answer to the channel secret"},
        {"not true",
         R"({"jsonrpc":"2.0","id":0,"result":"yes"})"
         "\n",
         "the guest agent gave no valid answer to the channel secret"},
        {"garbage", "\xff\xfe\n", "the guest agent gave no valid answer to the channel secret"},
        {"close", "", "the guest agent closed the connection: it refused the secret"},
        {"silence", "-", "the guest agent did not answer the channel secret"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto [mine, theirs] = StreamPeer::create();
        StreamPeer peer(std::move(theirs));
        auto outcome =
            start(proveChannelSecret(mine.get(), QByteArray(secretText.data(), secretText.size()),
                                     std::chrono::milliseconds(300)));
        const auto request = peer.readLine();
        ASSERT_TRUE(request);
        const auto parsed = boost::json::parse(*request).as_object();
        EXPECT_EQ(parsed.at("id"), 0);
        EXPECT_EQ(parsed.at("method"), "authenticate");
        EXPECT_EQ(parsed.at("params").at("secret").as_string(), secretText);
        if (c.answer.empty())
            peer.close();
        else if (c.answer != "-")
            peer.write(c.answer);
        ASSERT_TRUE(spinUntil([&] { return outcome->finished; }));
        ASSERT_FALSE(outcome->error);
        EXPECT_EQ(*outcome->value, c.failure);
    }
}

TEST(ChannelSecretProof, LeavesWhatFollowsTheAnswerToTheTransport) {
    ensureApplication();
    auto [mine, theirs] = StreamPeer::create();
    StreamPeer peer(std::move(theirs));
    const int fd = mine.get();
    auto proof = start(proveChannelSecret(fd, QByteArray(secretText.data(), secretText.size())));
    ASSERT_TRUE(peer.readLine());
    // The answer and a first reply arrive in one write.
    peer.write(std::string(R"({"jsonrpc":"2.0","id":0,"result":true})") + "\n" +
               R"({"jsonrpc":"2.0","id":1,"result":"pong"})" + "\n");
    ASSERT_TRUE(spinUntil([&] { return proof->finished; }));
    EXPECT_EQ(proof->value.value(), std::nullopt);

    VsockTransport transport;
    transport.connect(std::move(mine));
    auto ping = start(transport.send("ping"));
    ASSERT_TRUE(spinUntil([&] { return ping->finished; }));
    ASSERT_FALSE(ping->error) << ping->errorText();
    EXPECT_EQ(ping->value.value()->stringValue(), "pong");
}

}  // namespace
