#include "fileops/scripted_peer.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QLoggingCategory>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <stdexcept>

namespace quorvale::testing {

void ensureApplication() {
    static int argc = 1;
    static char name[] = "test_fileops";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app = new QCoreApplication(argc, argv);
    (void)app;
}

ScriptedPeer::ScriptedPeer(Script script) : script(std::move(script)) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        throw std::runtime_error("socketpair failed");
    hostEnd.reset(fds[0]);
    peerEnd.reset(fds[1]);
    thread = std::thread([this] { serve(); });
}

ScriptedPeer::~ScriptedPeer() {
    ::shutdown(peerEnd.get(), SHUT_RDWR);
    thread.join();
}

std::vector<std::string> ScriptedPeer::lines() const {
    std::lock_guard lock(mutex);
    return received;
}

std::vector<std::string> ScriptedPeer::methods() const {
    std::vector<std::string> names;
    for (const std::string& line : lines())
        names.emplace_back(boost::json::parse(line).at("method").as_string());
    return names;
}

std::optional<std::string> ScriptedPeer::error(int code, const std::string& message) {
    return "\"error\":{\"code\":" + std::to_string(code) +
           ",\"message\":" + boost::json::serialize(boost::json::value(message)) + "}";
}

void ScriptedPeer::serve() {
    std::string buffer;
    char chunk[1 << 16];
    for (;;) {
        const ssize_t n = ::read(peerEnd.get(), chunk, sizeof chunk);
        if (n <= 0)
            return;
        buffer.append(chunk, static_cast<size_t>(n));
        for (size_t newline; (newline = buffer.find('\n')) != std::string::npos;) {
            std::string line = buffer.substr(0, newline);
            buffer.erase(0, newline + 1);
            {
                std::lock_guard lock(mutex);
                received.push_back(line);
            }
            const boost::json::object request = boost::json::parse(line).as_object();
            std::optional<std::string> member = script(request);
            if (!member)
                continue;
            std::string reply =
                "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(request.at("id").as_int64()) + "," +
                *member + "}\n";
            std::string_view rest = reply;
            while (!rest.empty()) {
                const ssize_t w = ::send(peerEnd.get(), rest.data(), rest.size(), MSG_NOSIGNAL);
                if (w <= 0)
                    return;
                rest.remove_prefix(static_cast<size_t>(w));
            }
        }
    }
}

namespace {

std::mutex captureMutex;
const char* capturedCategory = nullptr;
QStringList captured;
QtMessageHandler previousHandler = nullptr;

void captureMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    {
        std::lock_guard lock(captureMutex);
        if (capturedCategory && context.category &&
            qstrcmp(context.category, capturedCategory) == 0) {
            const char* level = type == QtCriticalMsg ? "error"
                                : type == QtInfoMsg   ? "info"
                                : type == QtDebugMsg  ? "debug"
                                                      : "warning";
            captured.append(QLatin1String(level) + QLatin1Char(' ') + message);
        }
    }
    if (previousHandler)
        previousHandler(type, context, message);
}

}  // namespace

LogCapture::LogCapture(const char* category) {
    std::lock_guard lock(captureMutex);
    capturedCategory = category;
    captured.clear();
    previousHandler = qInstallMessageHandler(captureMessage);
}

LogCapture::~LogCapture() {
    qInstallMessageHandler(previousHandler);
    std::lock_guard lock(captureMutex);
    capturedCategory = nullptr;
}

QStringList LogCapture::messages() const {
    std::lock_guard lock(captureMutex);
    return captured;
}

}  // namespace quorvale::testing
