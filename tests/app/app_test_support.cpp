#include "app_test_support.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTimer>

#include <gtest/gtest.h>
#include <boost/json.hpp>

#include <mutex>

namespace quorvale::testing {

void ensureApplication() {
    static int argc = 1;
    static char name[] = "app_tests";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance())
        new QCoreApplication(argc, argv);
}

bool spinUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    ensureApplication();
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > limit.count())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
}

namespace {
QCoro::Task<void> capture(QCoro::Task<void> task, std::shared_ptr<std::exception_ptr> error,
                          std::shared_ptr<bool> finished) {
    try {
        co_await task;
    } catch (...) {
        *error = std::current_exception();
    }
    *finished = true;
}
}  // namespace

void run(QCoro::Task<void> task, std::chrono::milliseconds limit) {
    auto error = std::make_shared<std::exception_ptr>();
    auto finished = std::make_shared<bool>(false);
    capture(std::move(task), error, finished);
    if (!spinUntil([&] { return *finished; }, limit)) {
        ADD_FAILURE() << "task did not finish in time";
        return;
    }
    if (*error)
        std::rethrow_exception(*error);
}

FakeGuest::FakeGuest(UniqueFd stream, Script script)
    : fd(std::move(stream)), script(std::move(script)) {
    notifier = std::make_unique<QSocketNotifier>(fd.get(), QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, [this] { readable(); });
}

FakeGuest::~FakeGuest() = default;

void FakeGuest::hangUp() {
    notifier.reset();
    fd.reset();
}

void FakeGuest::readable() {
    char chunk[65536];
    const ssize_t got = ::read(fd.get(), chunk, sizeof chunk);
    if (got <= 0) {
        notifier.reset();
        fd.reset();
        return;
    }
    buffer.append(chunk, static_cast<size_t>(got));
    size_t newline;
    while ((newline = buffer.find('\n')) != std::string::npos) {
        const std::string line = buffer.substr(0, newline);
        buffer.erase(0, newline + 1);
        const boost::json::object request = boost::json::parse(line).as_object();
        const std::string method(request.at("method").as_string());
        const std::int64_t id = request.at("id").to_number<std::int64_t>();
        methods << QString::fromStdString(method);
        const boost::json::value* params = request.if_contains("params");
        requests << QString::fromStdString(method + " " +
                                           (params ? boost::json::serialize(*params) : "{}"));
        const GuestReply reply = script(method);
        std::string out;
        switch (reply.kind) {
            case GuestReply::Kind::result:
                out = R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"result":)" +
                      reply.json + "}\n";
                break;
            case GuestReply::Kind::error:
                out = R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"error":{"code":)" +
                      std::to_string(reply.code) + R"(,"message":)" +
                      boost::json::serialize(boost::json::value(reply.json)) + "}}\n";
                break;
            case GuestReply::Kind::silent:
                break;
            case GuestReply::Kind::hangUp:
                notifier.reset();
                fd.reset();
                return;
        }
        if (out.empty())
            continue;
        if (reply.delay.count() > 0)
            QTimer::singleShot(reply.delay, notifier.get(), [this, out] { send(out); });
        else
            send(out);
    }
}

void FakeGuest::send(const std::string& line) {
    if (fd)
        (void)!::write(fd.get(), line.data(), line.size());
}

namespace {
std::mutex logMutex;
QStringList capturedLines;
QtMessageHandler previousHandler = nullptr;

void collect(QtMsgType, const QMessageLogContext&, const QString& message) {
    std::lock_guard lock(logMutex);
    capturedLines << message;
}
}  // namespace

LogCapture::LogCapture() {
    std::lock_guard lock(logMutex);
    capturedLines.clear();
    previousHandler = qInstallMessageHandler(collect);
}

LogCapture::~LogCapture() {
    qInstallMessageHandler(previousHandler);
}

bool LogCapture::contains(const QString& message) const {
    std::lock_guard lock(logMutex);
    return capturedLines.contains(message);
}

QStringList LogCapture::lines() const {
    std::lock_guard lock(logMutex);
    return capturedLines;
}

}  // namespace quorvale::testing
