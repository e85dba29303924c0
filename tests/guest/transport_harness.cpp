#include "guest/transport_harness.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QDeadlineTimer>
#include <QtCore/QEventLoop>
#include <QtCore/QLoggingCategory>
#include <QtCore/QTimer>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <thread>

namespace quorvale::testing {

void ensureApplication() {
    static int argc = 1;
    static char name[] = "quorvale-test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app = new QCoreApplication(argc, argv);
    (void)app;
}

std::pair<UniqueFd, StreamPeer> StreamPeer::create() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        throw std::runtime_error("socketpair failed");
    return {UniqueFd(fds[0]), StreamPeer(UniqueFd(fds[1]))};
}

std::optional<std::string> StreamPeer::readLine(std::chrono::milliseconds limit) {
    return readLineSlowly(65536, std::chrono::microseconds(0), limit);
}

std::optional<std::string> StreamPeer::readLineSlowly(std::size_t chunkBytes,
                                                      std::chrono::microseconds pause,
                                                      std::chrono::milliseconds limit) {
    const QDeadlineTimer deadline(limit);
    for (;;) {
        if (const auto newline = received.find('\n'); newline != std::string::npos) {
            std::string line = received.substr(0, newline);
            received.erase(0, newline + 1);
            return line;
        }
        if (pause.count() > 0)
            std::this_thread::sleep_for(pause);
        const auto left = std::chrono::milliseconds(std::max<qint64>(deadline.remainingTime(), 0));
        if (readSome(chunkBytes, left) == 0)
            return std::nullopt;
    }
}

std::size_t StreamPeer::readSome(std::size_t maxBytes, std::chrono::milliseconds limit) {
    pollfd p{fd.get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0)
        return 0;
    char chunk[65536];
    const ssize_t n = ::read(fd.get(), chunk, std::min(sizeof chunk, maxBytes));
    if (n <= 0)
        return 0;
    received.append(chunk, static_cast<std::size_t>(n));
    return static_cast<std::size_t>(n);
}

void StreamPeer::write(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0)
            throw std::runtime_error("peer write failed");
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

bool StreamPeer::waitForEndOfStream(std::chrono::milliseconds limit) {
    const QDeadlineTimer deadline(limit);
    char chunk[65536];
    for (;;) {
        pollfd p{fd.get(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(deadline.remainingTime())) <= 0)
            return false;
        if (::read(fd.get(), chunk, sizeof chunk) <= 0)
            return true;
    }
}

void StreamPeer::shutdownReading() {
    ::shutdown(fd.get(), SHUT_RD);
}

bool spinUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    ensureApplication();
    if (done())
        return true;
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    check.start(1);
    QTimer::singleShot(limit, &loop, &QEventLoop::quit);
    loop.exec();
    return done();
}

std::mutex VsockLog::mutex;
std::vector<std::string> VsockLog::collected;

VsockLog::VsockLog() {
    QLoggingCategory::setFilterRules(QStringLiteral("com.quorvale.app.Vsock.debug=true"));
    std::lock_guard lock(mutex);
    collected.clear();
    previous = qInstallMessageHandler(&VsockLog::handler);
}

VsockLog::~VsockLog() {
    qInstallMessageHandler(previous);
    QLoggingCategory::setFilterRules(QString());
}

void VsockLog::handler(QtMsgType, const QMessageLogContext& context, const QString& text) {
    if (context.category && std::string_view(context.category) == "com.quorvale.app.Vsock") {
        std::lock_guard lock(mutex);
        collected.push_back(text.toStdString());
    }
}

std::vector<std::string> VsockLog::lines() const {
    std::lock_guard lock(mutex);
    return collected;
}

bool VsockLog::contains(std::string_view line) const {
    const auto all = lines();
    return std::find(all.begin(), all.end(), line) != all.end();
}

std::size_t VsockLog::count(std::string_view prefix) const {
    const auto all = lines();
    return std::count_if(all.begin(), all.end(),
                         [&](const std::string& l) { return l.starts_with(prefix); });
}

}  // namespace quorvale::testing
