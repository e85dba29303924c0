#include "support/agent_process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

extern char** environ;

namespace quorvale::testing {

namespace {

UniqueFd connectUnix(const QString& path) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray encoded = QFile::encodeName(path);
    if (!fd || static_cast<size_t>(encoded.size()) >= sizeof address.sun_path)
        return {};
    std::memcpy(address.sun_path, encoded.constData(), static_cast<size_t>(encoded.size()));
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return {};
    return fd;
}

}  // namespace

QString AgentProcess::agentPath() {
    // The environment names the build tree under ctest; the tree this was built in otherwise.
    QByteArray build = qgetenv("QUORVALE_BUILD_DIR");
    if (build.isEmpty())
        build = QUORVALE_DEFAULT_BUILD_DIR;
    return QFile::decodeName(build) + QStringLiteral("/agent/quorvale-agent");
}

AgentProcess::AgentProcess(const QString& root, const QStringList& extraArguments) {
    static int serial = 0;
    socketPath = QDir::tempPath() +
                 QStringLiteral("/quorvale-agent-%1-%2.sock").arg(::getpid()).arg(++serial);
    QFile::remove(socketPath);
    const QByteArray program = QFile::encodeName(agentPath());
    std::vector<QByteArray> arguments{program, "--root", QFile::encodeName(root), "--listen",
                                      "unix:" + QFile::encodeName(socketPath)};
    for (const QString& argument : extraArguments)
        arguments.push_back(argument.toUtf8());
    std::vector<char*> argv;
    for (QByteArray& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    if (::posix_spawn(&pid, program.constData(), nullptr, nullptr, argv.data(), environ) != 0)
        throw std::runtime_error("cannot start " + program.toStdString());
    for (int attempt = 0; attempt < 500; ++attempt) {
        if (connectUnix(socketPath))
            return;
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            throw std::runtime_error("the agent exited at start");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stop();
    throw std::runtime_error("the agent did not start listening");
}

AgentProcess::~AgentProcess() {
    stop();
}

void AgentProcess::stop() {
    if (pid > 0) {
        ::kill(pid, SIGTERM);
        for (int attempt = 0; attempt < 200; ++attempt) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            pid = -1;
        }
    }
    QFile::remove(socketPath);
}

UniqueFd AgentProcess::connect() const {
    UniqueFd fd = connectUnix(socketPath);
    if (!fd)
        throw std::runtime_error("cannot connect to the agent");
    return fd;
}

}  // namespace quorvale::testing
