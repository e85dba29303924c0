#include "guest/qmp_client.h"

#include <QJsonArray>

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include <qcoro/qcorolocalsocket.h>
#include <qcoro/qcorotimer.h>
#include <QJsonDocument>
#include <QPointer>
#include <QTimer>

#include "guest/vm_error.h"

namespace quorvale::guest {

namespace {

QemuError qmpError(const QString& text) {
    return QemuError(QemuError::Kind::qmpFailed, text.toStdString());
}

}  // namespace

QmpClient::QmpClient(QObject* parent) : QObject(parent) {
    connect(&socket, &QLocalSocket::readyRead, this, &QmpClient::readLines);
    connect(&socket, &QLocalSocket::disconnected, this, &QmpClient::closed);
}

QCoro::Task<void> QmpClient::connectTo(QString path, std::chrono::milliseconds timeout,
                                       std::function<bool()> keepTrying) {
    QPointer self(this);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // QEMU creates the socket early and accepts once its machine is set up.
    for (;;) {
        socket.connectToServer(path);
        if (co_await qCoro(socket).waitForConnected(std::chrono::milliseconds(100)))
            break;
        if (!self)
            co_return;
        socket.abort();
        if (std::chrono::steady_clock::now() > deadline || !keepTrying())
            throw qmpError(QStringLiteral("cannot connect to QMP socket %1").arg(path));
        co_await QCoro::sleepFor(std::chrono::milliseconds(10));
        if (!self)
            co_return;
    }
    // The greeting comes first; qmp_capabilities leaves negotiation mode.
    co_await execute(QStringLiteral("qmp_capabilities"), {}, timeout);
}

QByteArray QmpClient::commandLine(const QString& command, const QJsonObject& arguments) {
    if (!isConnected())
        throw qmpError(QStringLiteral("QMP is not connected"));
    QJsonObject message{{"execute", command}, {"id", nextId++}};
    if (!arguments.isEmpty())
        message.insert(QStringLiteral("arguments"), arguments);
    return QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n';
}

QCoro::Task<QJsonObject> QmpClient::execute(QString command, QJsonObject arguments,
                                            std::chrono::milliseconds timeout) {
    const qint64 id = nextId;
    socket.write(commandLine(command, arguments));
    co_return co_await finish(std::move(command), id, timeout);
}

QCoro::Task<QJsonArray> QmpClient::executeForList(QString command, QJsonObject arguments,
                                                  std::chrono::milliseconds timeout) {
    const qint64 id = nextId;
    socket.write(commandLine(command, arguments));
    QJsonObject reply = co_await await(id, timeout);
    if (reply.contains(QStringLiteral("error")))
        throw qmpError(command + QStringLiteral(": ") +
                       reply.value("error").toObject().value("desc").toString());
    co_return reply.value(QStringLiteral("return")).toArray();
}

QCoro::Task<QJsonObject> QmpClient::executeWithFd(QString command, QJsonObject arguments, int fd,
                                                  std::chrono::milliseconds timeout) {
    const qint64 id = nextId;
    const QByteArray line = commandLine(command, arguments);
    // Lines Qt still buffers go first, so that commands reach QEMU in order.
    while (socket.bytesToWrite() > 0)
        if (!socket.waitForBytesWritten(1000))
            throw qmpError(command + QStringLiteral(": cannot write to QMP"));
    const int sock = static_cast<int>(socket.socketDescriptor());
    qsizetype sent = 0;
    while (sent < line.size()) {
        msghdr header{};
        iovec part{const_cast<char*>(line.constData()) + sent,
                   static_cast<std::size_t>(line.size() - sent)};
        header.msg_iov = &part;
        header.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        if (sent == 0) {  // the descriptor rides on the first byte
            header.msg_control = control;
            header.msg_controllen = sizeof(control);
            cmsghdr* cmsg = CMSG_FIRSTHDR(&header);
            cmsg->cmsg_level = SOL_SOCKET;
            cmsg->cmsg_type = SCM_RIGHTS;
            cmsg->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(cmsg), &fd, sizeof(int));
        }
        const ssize_t n = ::sendmsg(sock, &header, MSG_NOSIGNAL);
        if (n > 0) {
            sent += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        pollfd ready{sock, POLLOUT, 0};
        if (n < 0 && errno == EAGAIN && ::poll(&ready, 1, 1000) > 0)
            continue;
        throw qmpError(command + QStringLiteral(": ") +
                       QString::fromLocal8Bit(std::strerror(errno)));
    }
    co_return co_await finish(std::move(command), id, timeout);
}

QCoro::Task<QJsonObject> QmpClient::finish(QString command, qint64 id,
                                           std::chrono::milliseconds timeout) {
    QJsonObject reply = co_await await(id, timeout);
    if (reply.contains(QStringLiteral("error")))
        throw qmpError(command + QStringLiteral(": ") +
                       reply.value("error").toObject().value("desc").toString());
    co_return reply.value(QStringLiteral("return")).toObject();
}

QCoro::Task<QJsonObject> QmpClient::await(qint64 id, std::chrono::milliseconds timeout) {
    QPointer self(this);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (auto found = replies.find(id); found != replies.end()) {
            QJsonObject reply = std::move(found->second);
            replies.erase(found);
            co_return reply;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !isConnected())
            throw qmpError(QStringLiteral("no reply from QEMU"));
        // Wake at the deadline, or at once on any reply or on close.
        QTimer wake;
        wake.setSingleShot(true);
        wake.start(left);
        auto now = [&wake] { wake.start(0); };
        connect(this, &QmpClient::replied, &wake, now);
        connect(this, &QmpClient::closed, &wake, now);
        co_await wake;
        if (!self)
            throw qmpError(QStringLiteral("QMP client closed"));
    }
}

void QmpClient::drain() {
    if (!socket.isOpen())
        return;
    if (socket.state() == QLocalSocket::ConnectedState)
        socket.waitForReadyRead(0);
    readLines();
}

void QmpClient::readLines() {
    QPointer self(this);
    for (QmpMessage& message : reader.read(socket.readAll())) {
        switch (message.kind) {
            case QmpMessage::Kind::greeting:
                greeted = true;
                break;
            case QmpMessage::Kind::event:
                Q_EMIT event(message.event, message.data);
                break;
            case QmpMessage::Kind::reply:
                replies[message.id] = std::move(message.object);
                Q_EMIT replied(message.id);
                break;
        }
        if (!self)
            return;  // a receiver of the signal deleted the client
    }
}

}  // namespace quorvale::guest
