#pragma once
// A QEMU Machine Protocol client over a Unix socket: the greeting and capability negotiation,
// commands answered in order (matched by "id"), and asynchronous events as a signal.

#include <qcoro/qcorotask.h>
#include <QJsonArray>
#include <QJsonObject>
#include <QLocalSocket>
#include <QObject>
#include <QPointer>
#include <chrono>
#include <functional>
#include <map>

#include "guest/qmp_message.h"

namespace quorvale::guest {

class QmpClient : public QObject {
    Q_OBJECT

public:
    explicit QmpClient(QObject* parent = nullptr);

    // Connects to `path` and negotiates capabilities, retrying while `keepTrying` holds and the
    // timeout has not passed; throws QemuError(qmpFailed).
    QCoro::Task<void> connectTo(QString path, std::chrono::milliseconds timeout,
                                std::function<bool()> keepTrying);
    // Runs `command`; returns its "return" object; throws QemuError(qmpFailed) on an "error"
    // reply, a timeout or a closed connection.
    QCoro::Task<QJsonObject> execute(QString command, QJsonObject arguments = {},
                                     std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // The same for a command whose "return" is a list ("query-block-jobs").
    QCoro::Task<QJsonArray> executeForList(
        QString command, QJsonObject arguments = {},
        std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // The same, passing the descriptor `fd` along with the command (SCM_RIGHTS), as "add-fd"
    // and "getfd" expect. The descriptor stays ours.
    QCoro::Task<QJsonObject> executeWithFd(
        QString command, QJsonObject arguments, int fd,
        std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Handles whatever QEMU already sent (used when its process has just ended).
    void drain();
    bool isConnected() const { return socket.state() == QLocalSocket::ConnectedState; }

Q_SIGNALS:
    void event(const QString& name, const QJsonObject& data);
    void replied(qint64 id);
    void closed();

private:
    void readLines();
    // The next numbered command as one line; throws when QMP is not connected.
    QByteArray commandLine(const QString& command, const QJsonObject& arguments);
    QCoro::Task<QJsonObject> finish(QString command, qint64 id, std::chrono::milliseconds timeout);
    QCoro::Task<QJsonObject> await(qint64 id, std::chrono::milliseconds timeout);

    QLocalSocket socket;
    QmpReader reader;
    qint64 nextId = 1;
    bool greeted = false;
    std::map<qint64, QJsonObject> replies;
};

}  // namespace quorvale::guest
