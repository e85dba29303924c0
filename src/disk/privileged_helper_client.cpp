#include "disk/privileged_helper_client.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QProcess>
#include <QStandardPaths>
#include <QTimer>

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <coroutine>
#include <cstring>
#include <optional>
#include <vector>

#include <qcoro/qcoroprocess.h>

#include "rpc/device_name.h"

#ifndef QUORVALE_HELPER_INSTALL_PATH
#define QUORVALE_HELPER_INSTALL_PATH "/usr/libexec/quorvale/quorvale-helper"
#endif

namespace quorvale::disk {

namespace {

Q_LOGGING_CATEGORY(xpcLog, "com.quorvale.app.XPC")

// Logging lives outside the coroutines: g++ 12 cannot expand __PRETTY_FUNCTION__ inside one.
void logInfo(const char* message) {
    qCInfo(xpcLog, "%s", message);
}

struct ProcessResult {
    bool ran = false;
    int exitCode = -1;
    QString out;
    QString err;
};

QCoro::Task<ProcessResult> runProcess(QString program, QStringList arguments,
                                      std::chrono::milliseconds timeout) {
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    ProcessResult result;
    // A missing program is caught here: starting one would only fail after the start timeout.
    if (QStandardPaths::findExecutable(program).isEmpty())
        co_return result;
    const bool started =
        co_await qCoro(process).start(QIODevice::ReadOnly, std::chrono::seconds(10));
    if (!started)
        co_return result;
    if (!co_await qCoro(process).waitForFinished(timeout)) {
        process.kill();
        co_await qCoro(process).waitForFinished(std::chrono::seconds(5));
        co_return result;
    }
    result.ran = process.exitStatus() == QProcess::NormalExit;
    result.exitCode = process.exitCode();
    result.out = QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
    result.err = QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
    co_return result;
}

// The last line the failed program wrote on stderr, else its command line and status.
QString failureText(const ProcessResult& result, const QString& program,
                    const QStringList& arguments) {
    if (!result.err.isEmpty())
        return result.err.section(QLatin1Char('\n'), -1);
    return QStringLiteral("%1 %2 failed (status %3)")
        .arg(program, arguments.join(QLatin1Char(' ')))
        .arg(result.exitCode);
}

QString currentUserName() {
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return QString::fromLocal8Bit(found->pw_name);
    return qEnvironmentVariable("USER");
}

enum class UnitState { notInstalled, enabled, disabled, unknown };

// `systemctl is-enabled` of the socket unit, in the terms the installer acts on.
UnitState classify(const ProcessResult& result) {
    if (!result.ran)
        return UnitState::unknown;
    const QString state = result.out.section(QLatin1Char('\n'), 0, 0).trimmed();
    static const QStringList enabled{"enabled",  "enabled-runtime", "static",
                                     "indirect", "alias",           "generated"};
    static const QStringList disabled{"disabled", "masked", "masked-runtime", "linked",
                                      "linked-runtime"};
    if (enabled.contains(state))
        return UnitState::enabled;
    if (disabled.contains(state))
        return UnitState::disabled;
    // Newer systemd prints "not-found"; older ones only complain on stderr.
    if (state == QLatin1String("not-found") ||
        (state.isEmpty() && (result.err.contains(QLatin1String("No such file")) ||
                             result.err.contains(QLatin1String("not found"))))) {
        return UnitState::notInstalled;
    }
    return UnitState::unknown;
}

HelperError mapRefusal(const QString& message, HelperError::Kind otherwise) {
    if (message.startsWith(QLatin1String(PrivilegedHelperClient::accessDeniedPrefix)))
        return HelperError(HelperError::Kind::accessDenied);
    return HelperError(otherwise, message);
}

}  // namespace

// The guard of one call: the first completion (reply, timeout or lost connection) stores the
// outcome; later ones find the call gone from `pending` and are dropped.
struct PrivilegedHelperClient::PendingCall {
    std::coroutine_handle<> waiter;
    std::optional<Outcome> outcome;
};

class PrivilegedHelperClient::CallAwaiter {
public:
    explicit CallAwaiter(std::shared_ptr<PendingCall> call) : call(std::move(call)) {}
    bool await_ready() const noexcept { return call->outcome.has_value(); }
    void await_suspend(std::coroutine_handle<> handle) noexcept { call->waiter = handle; }
    Outcome await_resume() { return std::move(*call->outcome); }

private:
    std::shared_ptr<PendingCall> call;
};

PrivilegedHelperClient::PrivilegedHelperClient(QObject* parent)
    : PrivilegedHelperClient(Options{}, parent) {}

PrivilegedHelperClient::PrivilegedHelperClient(Options options, QObject* parent)
    : QObject(parent), config(std::move(options)) {
    if (config.socketPath.isEmpty())
        config.socketPath = qEnvironmentVariable("QUORVALE_HELPER_SOCKET");
    if (config.socketPath.isEmpty())
        config.socketPath = QStringLiteral("/run/quorvale-helper.sock");
    if (config.helperPath.isEmpty())
        config.helperPath = QStringLiteral(QUORVALE_HELPER_INSTALL_PATH);
}

PrivilegedHelperClient::~PrivilegedHelperClient() {
    if (connection)
        connection->onClosed = nullptr;
    failPending();
}

void PrivilegedHelperClient::setHelperInstalled() {
    if (helperInstalled)
        return;
    helperInstalled = true;
    Q_EMIT isHelperInstalledChanged();
}

QCoro::Task<void> PrivilegedHelperClient::installHelper() {
    QPointer<PrivilegedHelperClient> self(this);
    const Options options = config;
    const auto unit = QString::fromLatin1(socketUnit);
    // Argument lists are built before each co_await: g++ 12 cannot keep a braced list across one.
    QStringList arguments;
    arguments << QString::fromLatin1("is-enabled") << unit;
    const auto state =
        classify(co_await runProcess(options.systemctl, arguments, std::chrono::seconds(30)));
    if (state == UnitState::disabled) {
        logInfo("Helper requires approval");
        throw HelperError(HelperError::Kind::requiresApproval);
    }
    if (state == UnitState::unknown)
        throw HelperError(HelperError::Kind::unknownStatus);
    if (state == UnitState::enabled) {
        arguments[0] = QString::fromLatin1("is-active");
        const auto active =
            co_await runProcess(options.systemctl, arguments, std::chrono::seconds(30));
        if (active.ran && active.out == QLatin1String("active")) {
            logInfo("Helper already installed");
            if (self)
                self->setHelperInstalled();
            co_return;
        }
        // Enabled but not listening (enabled without --now): the installer starts it.
    }

    logInfo("Installing helper daemon");
    arguments = QStringList() << options.helperPath << QString::fromLatin1("install");
    const auto installed = co_await runProcess(options.pkexec, arguments, std::chrono::minutes(30));
    if (!installed.ran || installed.exitCode != 0)
        throw Error(failureText(installed, options.pkexec, arguments).toStdString());
    if (self)
        self->setHelperInstalled();
    logInfo("Helper installed successfully");
}

QCoro::Task<bool> PrivilegedHelperClient::checkHelper() {
    QPointer<PrivilegedHelperClient> self(this);
    const Options options = config;
    QStringList arguments;
    arguments << QString::fromLatin1("is-enabled") << QString::fromLatin1(socketUnit);
    if (classify(co_await runProcess(options.systemctl, arguments, std::chrono::seconds(30))) !=
        UnitState::enabled)
        co_return false;
    arguments[0] = QString::fromLatin1("is-active");
    const auto active = co_await runProcess(options.systemctl, arguments, std::chrono::seconds(30));
    if (!active.ran || active.out != QLatin1String("active"))
        co_return false;
    if (self)
        self->setHelperInstalled();
    co_return true;
}

QCoro::Task<void> PrivilegedHelperClient::grantAccess() {
    const Options options = config;
    QStringList arguments;
    arguments << options.helperPath << QString::fromLatin1("grant") << currentUserName();
    const auto granted = co_await runProcess(options.pkexec, arguments, std::chrono::minutes(30));
    if (!granted.ran || granted.exitCode != 0)
        throw Error(failureText(granted, options.pkexec, arguments).toStdString());
}

QCoro::Task<UniqueFd> PrivilegedHelperClient::openDisk(QString bsdName, bool readOnly) {
    if (!rpc::isDeviceName(bsdName.toStdString()))
        throw HelperError(HelperError::Kind::invalidBSDName, bsdName);
    rpc::Params params;
    params["bsd_name"] = bsdName.toStdString();
    params["read_only"] = readOnly;
    co_return openedDescriptor(co_await call("open_disk", std::move(params)));
}

QCoro::Task<UniqueFd> PrivilegedHelperClient::openHeldDisk(QString bsdName, int heldFd) {
    if (!rpc::isDeviceName(bsdName.toStdString()))
        throw HelperError(HelperError::Kind::invalidBSDName, bsdName);
    // A copy of our own travels: the caller's may close while the request waits to be sent.
    UniqueFd passed(::fcntl(heldFd, F_DUPFD_CLOEXEC, 0));
    if (!passed)
        throw HelperError(HelperError::Kind::openFailed,
                          QString::fromLocal8Bit(std::strerror(errno)));
    rpc::Params params;
    params["bsd_name"] = bsdName.toStdString();
    co_return openedDescriptor(
        co_await call("open_held_disk", std::move(params), std::move(passed)));
}

void PrivilegedHelperClient::releaseDisk(const QString& bsdName) {
    if (!connection || !connection->isOpen() || !rpc::isDeviceName(bsdName.toStdString()))
        return;
    rpc::Params params;
    params["bsd_name"] = bsdName.toStdString();
    // No call waits for it: the reply finds no pending call and is dropped.
    connection->send(rpc::JSONRPCRequest(nextId++, "release_disk", std::move(params)).encode());
}

UniqueFd PrivilegedHelperClient::openedDescriptor(Outcome outcome) {
    if (outcome.error)
        std::rethrow_exception(outcome.error);
    if (outcome.fd)
        return std::move(outcome.fd);  // a descriptor wins over any error text
    if (outcome.response.error) {
        throw mapRefusal(QString::fromStdString(outcome.response.error->message),
                         HelperError::Kind::openFailed);
    }
    throw HelperError(HelperError::Kind::openFailed, QString::fromLatin1("Unknown error"));
}

QCoro::Task<void> PrivilegedHelperClient::ejectDisk(QString bsdName) {
    if (!rpc::isDeviceName(bsdName.toStdString()))
        throw HelperError(HelperError::Kind::invalidBSDName, bsdName);
    rpc::Params params;
    params["bsd_name"] = bsdName.toStdString();
    Outcome outcome = co_await call("eject_disk", std::move(params));
    if (outcome.error) {
        try {
            std::rethrow_exception(outcome.error);
        } catch (const HelperError& error) {
            if (error.kind == HelperError::Kind::openFailed)  // the reply timed out
                throw HelperError(HelperError::Kind::ejectFailed, error.payload);
            throw;
        }
    }
    if (outcome.response.error) {
        throw mapRefusal(QString::fromStdString(outcome.response.error->message),
                         HelperError::Kind::ejectFailed);
    }
}

QCoro::Task<PrivilegedHelperClient::Outcome> PrivilegedHelperClient::call(std::string method,
                                                                          rpc::Params params,
                                                                          UniqueFd passed) {
    HelperConnection& link = proxy();
    const std::int64_t id = nextId++;
    auto state = std::make_shared<PendingCall>();
    pending.emplace(id, state);
    QTimer::singleShot(config.replyTimeout, this, [this, id] {
        Outcome outcome;
        outcome.error = std::make_exception_ptr(
            HelperError(HelperError::Kind::openFailed, QString::fromLatin1(timeoutMessage)));
        complete(id, std::move(outcome));
    });
    link.send(rpc::JSONRPCRequest(id, std::move(method), std::move(params)).encode(),
              std::move(passed));
    co_return co_await CallAwaiter(state);
}

HelperConnection& PrivilegedHelperClient::proxy() {
    if (connection)
        connection->checkAlive();
    if (connection && connection->isOpen())
        return *connection;
    auto made = HelperConnection::connectTo(config.socketPath);
    if (!made)
        throw HelperError(HelperError::Kind::connectionFailed);
    made->onReply = [this](rpc::JSONRPCResponse response, UniqueFd fd) {
        const auto id = response.id;
        complete(id, Outcome{std::move(response), std::move(fd), nullptr});
    };
    made->onRefused = [this](const rpc::JSONRPCError& error) { connectionRefused(error); };
    made->onClosed = [this] { connectionInvalidated(); };
    connection = std::move(made);
    return *connection;
}

void PrivilegedHelperClient::complete(std::int64_t id, Outcome outcome) {
    const auto it = pending.find(id);
    if (it == pending.end())
        return;  // already completed: a late reply and its descriptor are dropped here
    const auto call = it->second;
    pending.erase(it);
    call->outcome = std::move(outcome);
    if (const auto waiter = call->waiter) {
        // Resumed from the event loop, never from inside a socket or timer callback.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [waiter] { waiter.resume(); }, Qt::QueuedConnection);
    }
}

void PrivilegedHelperClient::connectionInvalidated() {
    // Called from inside the connection's own callback: it is deleted later.
    if (connection)
        connection.release()->deleteLater();
    qCCritical(xpcLog, "XPC connection invalidated");
    failPending();
}

// The daemon turned the connection away before reading a request (not authorised, too many
// connections): that answer is the reply of every call sent on it.
void PrivilegedHelperClient::connectionRefused(const rpc::JSONRPCError& error) {
    qCCritical(xpcLog, "Helper refused the connection: %s", error.message.c_str());
    std::vector<std::int64_t> ids;
    for (const auto& [id, call] : pending)
        ids.push_back(id);
    for (const auto id : ids) {
        rpc::JSONRPCResponse response;
        response.jsonrpc = "2.0";
        response.id = id;
        response.error = error;
        complete(id, Outcome{std::move(response), {}, nullptr});
    }
}

// Nothing can answer the calls still waiting on a lost connection.
void PrivilegedHelperClient::failPending() {
    std::vector<std::int64_t> ids;
    for (const auto& [id, call] : pending)
        ids.push_back(id);
    for (const auto id : ids) {
        Outcome outcome;
        outcome.error = std::make_exception_ptr(HelperError(HelperError::Kind::connectionFailed));
        complete(id, std::move(outcome));
    }
}

}  // namespace quorvale::disk
