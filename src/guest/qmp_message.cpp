#include "guest/qmp_message.h"

#include <QJsonDocument>

namespace quorvale::guest {

std::vector<QmpMessage> QmpReader::read(const QByteArray& bytes) {
    buffer += bytes;
    std::vector<QmpMessage> messages;
    qsizetype start = 0;
    for (qsizetype newline; (newline = buffer.indexOf('\n', start)) >= 0; start = newline + 1) {
        QmpMessage message;
        message.object = QJsonDocument::fromJson(buffer.mid(start, newline - start)).object();
        if (message.object.contains(QStringLiteral("QMP"))) {
            message.kind = QmpMessage::Kind::greeting;
        } else if (message.object.contains(QStringLiteral("event"))) {
            message.kind = QmpMessage::Kind::event;
            message.event = message.object.value(QStringLiteral("event")).toString();
            message.data = message.object.value(QStringLiteral("data")).toObject();
        } else if (message.object.contains(QStringLiteral("id"))) {
            message.kind = QmpMessage::Kind::reply;
            message.id = message.object.value(QStringLiteral("id")).toInteger();
        } else {
            continue;
        }
        messages.push_back(std::move(message));
    }
    buffer.remove(0, start);
    return messages;
}

}  // namespace quorvale::guest
