// VsockTransport at the edges of the stream: failing writes, oversized replies, and large
// frames crossing in both directions at once.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <thread>

#include "guest/transport_harness.h"
#include "guest/vsock_transport.h"
#include "rpc/json_rpc.h"

using namespace quorvale;
using namespace quorvale::guest;
using namespace quorvale::testing;

namespace {

std::string reply(std::int64_t id, std::string_view resultJSON) {
    return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"result":)" +
           std::string(resultJSON) + "}\n";
}

std::string pattern(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        text[i] = static_cast<char>('a' + (i * 7 + i / 4099) % 26);
    return text;
}

class VsockTransportStreamTest : public ::testing::Test {
protected:
    void SetUp() override { ensureApplication(); }
};

bool isOpen(int fd) {
    return ::fcntl(fd, F_GETFD) >= 0 || errno != EBADF;
}

TEST_F(VsockTransportStreamTest, DisconnectWakesABlockedReadAndThenClosesTheDescriptor) {
    // A pipe: no socket shutdown can wake the reader, and the far end stays open, so the read
    // never ends by itself. The descriptor is closed once the woken threads have ended.
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    const UniqueFd writeEnd(fds[1]);
    VsockTransport transport;
    transport.connect(UniqueFd(fds[0]));
    spinUntil([] { return false; }, std::chrono::milliseconds(20));  // the reader is waiting
    EXPECT_TRUE(isOpen(fds[0]));
    transport.disconnect();
    EXPECT_TRUE(spinUntil([&] { return !isOpen(fds[0]); }));
}

TEST_F(VsockTransportStreamTest, FailedWriteFailsTheCallAtOnce) {
    auto [mine, theirs] = StreamPeer::create();
    VsockTransport transport;
    transport.connect(std::move(mine));
    theirs.shutdownReading();
    // The default 10 s timeout never comes into play: the hard limit here is 2 s.
    const auto small = await(transport.send("a"), std::chrono::seconds(2));
    ASSERT_TRUE(small.finished);
    EXPECT_EQ(small.errorText(), "Vsock disconnected");
    // The stream's framing is lost for good, so later calls fail at once too.
    const auto later = await(transport.send("b"), std::chrono::seconds(2));
    EXPECT_EQ(later.errorText(), "Vsock disconnected");
}

TEST_F(VsockTransportStreamTest, WriteFailingHalfwayThroughALargeFrameFailsItsCall) {
    auto [mine, theirs] = StreamPeer::create();
    VsockTransport transport;
    transport.connect(std::move(mine));
    // Far more than the socket buffers hold: most of it waits for the writer thread.
    auto call = start(transport.send("upload", {{"data", pattern(8 << 20)}}));
    EXPECT_FALSE(call->finished);
    theirs.shutdownReading();
    ASSERT_TRUE(spinUntil([&] { return call->finished; }, std::chrono::seconds(2)));
    EXPECT_EQ(call->errorText(), "Vsock disconnected");
}

TEST_F(VsockTransportStreamTest, OversizedReplyLineEndsTheConnection) {
    constexpr std::size_t limit = 64 << 10;
    for (const bool withNewline : {false, true}) {
        VsockLog log;
        auto [mine, theirs] = StreamPeer::create();
        VsockTransport transport(limit);
        transport.connect(std::move(mine));
        auto call = start(transport.send("read"));
        ASSERT_TRUE(theirs.readLine());
        // A well-formed answer, just too long; with its newline it may arrive in one read.
        std::string line = reply(1, '"' + pattern(limit + 100) + '"');
        if (!withNewline)
            line.pop_back();
        std::thread writer([&, line] { theirs.write(line); });
        ASSERT_TRUE(spinUntil([&] { return call->finished; }));
        writer.join();
        EXPECT_EQ(call->errorText(), "Vsock disconnected") << withNewline;
        EXPECT_FALSE(transport.isConnected());
        EXPECT_EQ(log.count("RPC response longer than"), 1u);
        EXPECT_TRUE(theirs.waitForEndOfStream());
    }
}

TEST_F(VsockTransportStreamTest, ReplyJustUnderTheLimitIsDelivered) {
    constexpr std::size_t limit = 64 << 10;
    auto [mine, theirs] = StreamPeer::create();
    VsockTransport transport(limit);
    transport.connect(std::move(mine));
    auto call = start(transport.send("read"));
    ASSERT_TRUE(theirs.readLine());
    const std::string prefix = R"({"jsonrpc":"2.0","id":1,"result":")";
    const std::string text = pattern(limit - prefix.size() - 2);
    const std::string line = prefix + text + "\"}";
    ASSERT_EQ(line.size(), limit);
    std::thread writer([&] { theirs.write(line + "\n"); });
    ASSERT_TRUE(spinUntil([&] { return call->finished; }));
    writer.join();
    ASSERT_FALSE(call->error) << call->errorText();
    EXPECT_EQ(call->value.value()->stringValue(), text);
}

TEST_F(VsockTransportStreamTest, NewFramesWaitBehindAFrameHalfWritten) {
    // A slow reader keeps a large frame half-written. Once it has taken part of it, the socket
    // has room again while the writer still waits for it to drain: a call sent then must still
    // go out after the large frame, never inside it.
    constexpr int smallCalls = 20;
    const std::string payload = pattern(2 << 20);
    auto [mine, theirs] = StreamPeer::create();
    VsockTransport transport;
    transport.connect(std::move(mine));
    std::atomic<bool> tookSome = false;
    std::atomic<bool> goOn = false;
    std::vector<std::string> lines;
    std::thread reader([&, &peer = theirs] {
        for (std::size_t taken = 0; taken < (512u << 10);) {
            const std::size_t n = peer.readSome(16 << 10);
            if (n == 0)
                break;
            taken += n;
        }
        tookSome = true;
        while (!goOn)
            std::this_thread::sleep_for(1ms);
        while (lines.size() < smallCalls + 1) {
            auto line = peer.readLineSlowly(16 << 10, 200us, 20s);
            if (!line)
                break;
            lines.push_back(std::move(*line));
        }
    });
    std::vector<std::shared_ptr<Outcome<std::optional<rpc::AnyCodable>>>> calls;
    calls.push_back(start(transport.send("upload", {{"data", payload}})));
    ASSERT_TRUE(spinUntil([&] { return tookSome.load(); }, 20s));
    for (int i = 0; i < smallCalls; ++i) {
        calls.push_back(start(transport.send("ping")));
        goOn = true;
        spinUntil([] { return false; }, 2ms);
    }
    reader.join();
    transport.disconnect();

    ASSERT_EQ(lines.size(), static_cast<std::size_t>(smallCalls + 1));
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::optional<rpc::JSONRPCRequest> request;
        try {
            request = rpc::JSONRPCRequest::decode(lines[i]);
        } catch (const std::exception&) {
            ADD_FAILURE() << "line " << i << " is not one whole request: a frame was torn";
            continue;
        }
        EXPECT_EQ(request->id, static_cast<std::int64_t>(i + 1));
        EXPECT_EQ(request->method, i == 0 ? "upload" : "ping");
        if (i == 0) {
            EXPECT_EQ(request->params.at("data").stringValue(), payload);
        }
    }
    ASSERT_TRUE(spinUntil([&] {
        return std::all_of(calls.begin(), calls.end(), [](const auto& c) { return c->finished; });
    }));
}

TEST_F(VsockTransportStreamTest, LargeRequestAndLargeReplyCrossWithoutBlocking) {
    const std::string payload = pattern(24 << 20);
    auto [mine, theirs] = StreamPeer::create();
    VsockTransport transport;
    transport.connect(std::move(mine));

    std::atomic<bool> sendReturned = false;
    std::atomic<bool> peerDone = false;
    std::optional<std::string> received;
    std::thread peerThread([&] {
        // The whole reply goes out before the request is read, and reading waits until send()
        // has returned: a send() that blocked on its write would never return.
        theirs.write(reply(1, '"' + payload + '"'));
        for (int i = 0; i < 2000 && !sendReturned; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (sendReturned)
            received = theirs.readLine(std::chrono::seconds(20));
        else
            theirs.close();  // unblocks a stuck writer so that the test fails instead of hanging
        peerDone = true;
    });
    auto call = start(transport.send("upload", {{"data", payload}}));
    sendReturned = true;
    spinUntil([&] { return call->finished && peerDone; }, std::chrono::seconds(30));
    peerThread.join();

    ASSERT_TRUE(call->finished);
    ASSERT_FALSE(call->error) << call->errorText();
    EXPECT_EQ(call->value.value()->stringValue(), payload);
    ASSERT_TRUE(received.has_value());
    const auto request = rpc::JSONRPCRequest::decode(*received);
    EXPECT_EQ(request.method, "upload");
    EXPECT_EQ(request.params.at("data").stringValue(), payload);
}

}  // namespace
