// The channel secret in the real VM: the agent serves a connection only after it has shown
// this boot's secret, which never appears on QEMU's command line.

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <QDir>
#include <QFile>

#include <boost/json/parse.hpp>

#include "guest/qemu_launcher.h"
#include "guest/stream_connector.h"
#include "vm_test_support.h"

namespace quorvale::guest {
namespace {

using namespace testing;
using namespace std::chrono_literals;

// The next reply line on `fd`, or nothing when the stream ended or `timeout` passed.
std::optional<std::string> replyLine(int fd, std::chrono::milliseconds timeout) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return std::nullopt;
        char byte;
        if (::read(fd, &byte, 1) != 1)
            return std::nullopt;
        if (byte == '\n')
            return line;
        line += byte;
    }
}

bool sendLine(int fd, const std::string& line) {
    const std::string frame = line + "\n";
    return ::write(fd, frame.data(), frame.size()) == static_cast<ssize_t>(frame.size());
}

// A connection to the agent that skips the secret, as any other local user could make it;
// tried until the agent listens (the VM may still be booting).
UniqueFd rawConnection(const QemuLauncher& vm) {
    const auto end = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < end) {
        try {
            if (const auto cid = vm.vsockCid())
                return run(connectVsockStream(*cid, 5000));
            return run(connectUnixStream(vm.agentSocketPath()));
        } catch (const std::system_error&) {
            ::usleep(250'000);
        }
    }
    return UniqueFd();
}

TEST(VMChannel, OnlyAConnectionWithTheSecretIsServed) {
    VMLifecycleService service{VMResources(buildResources())};
    run(service.bootVM({}));
    const QemuLauncher& vm = *service.virtualMachine();
    const QByteArray secret = vm.channelSecret();
    ASSERT_EQ(secret.size(), 64);

    // Out of band only: not on QEMU's command line, and its file is gone once QEMU read it.
    QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(vm.processId()));
    ASSERT_TRUE(cmdline.open(QIODevice::ReadOnly));
    EXPECT_FALSE(cmdline.readAll().contains(secret));
    EXPECT_FALSE(QFile::exists(vm.config().channelSecretFile));

    // Without the secret: refused, and nothing after is served. A socket is closed; a
    // virtio-serial port, which the guest cannot close, stays refused.
    const std::string ping = R"({"jsonrpc":"2.0","id":7,"method":"ping","params":{}})";
    const std::string wrong = R"({"jsonrpc":"2.0","id":8,"method":"authenticate",)"
                              R"("params":{"secret":")" +
                              std::string(64, 'a') + R"("}})";
    for (const auto& [first, message] :
         {std::pair{ping, "Authentication required"}, std::pair{wrong, "Authentication failed"}}) {
        SCOPED_TRACE(message);
        UniqueFd stranger = rawConnection(vm);
        ASSERT_TRUE(stranger.valid());
        ASSERT_TRUE(sendLine(stranger.get(), first));
        // Generous: the first answer waits for the guest to boot.
        const auto refusal = replyLine(stranger.get(), 60s);
        ASSERT_TRUE(refusal) << "no answer";
        const auto reply = boost::json::parse(*refusal).as_object();
        EXPECT_EQ(reply.at("error").at("code"), -13);
        EXPECT_EQ(reply.at("error").at("message"), message);
        sendLine(stranger.get(), ping);
        const auto next = replyLine(stranger.get(), 3s);
        EXPECT_TRUE(!next || next->find("\"pong\"") == std::string::npos)
            << "served after a refusal: " << *next;
    }

    // With it (the service shows it on every connection it makes), the agent serves.
    UniqueFd app = waitForAgent(service);
    ASSERT_TRUE(app.valid()) << "the agent never answered with the secret";
    EXPECT_TRUE(testing::ping(app.get(), 10s));
    run(service.stopVM());
}

}  // namespace
}  // namespace quorvale::guest
