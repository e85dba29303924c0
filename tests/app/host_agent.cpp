#include "host_agent.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <cstring>

#include "app_test_support.h"

namespace quorvale::testing {
namespace {

UniqueFd connectUnix(const QString& path) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray encoded = QFile::encodeName(path);
    std::memcpy(address.sun_path, encoded.constData(),
                std::min<size_t>(encoded.size(), sizeof address.sun_path - 1));
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return {};
    return fd;
}

}  // namespace

HostAgent::HostAgent() {
    ensureApplication();
    const QString agent = qEnvironmentVariable("QUORVALE_BUILD_DIR") + "/agent/quorvale-agent";
    const QString socket = socketDir.filePath("agent.sock");
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(agent, {"--root", rootDir.path(), "--listen", "unix:" + socket, "--name", "sdb2",
                          "--label", "CARD"});
    // Ready once a connection succeeds: the socket file appears before the agent listens.
    running = process.waitForStarted(5000) &&
              spinUntil([&] { return connectUnix(socket).valid(); }, std::chrono::seconds(5));
    EXPECT_TRUE(running) << "agent did not start: " << agent.toStdString();
}

HostAgent::~HostAgent() {
    kill();
}

void HostAgent::kill() {
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
    }
    running = false;
}

void HostAgent::writeFile(const QString& relative, const QByteArray& bytes) const {
    QDir().mkpath(QFileInfo(rootPath(relative)).absolutePath());
    QFile file(rootPath(relative));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

void HostAgent::makeDirectory(const QString& relative) const {
    ASSERT_TRUE(QDir().mkpath(rootPath(relative)));
}

void HostAgent::connect(guest::VsockTransport& transport) const {
    UniqueFd fd = connectUnix(socketDir.filePath("agent.sock"));
    ASSERT_TRUE(fd.valid());
    transport.connect(std::move(fd));
}

}  // namespace quorvale::testing
