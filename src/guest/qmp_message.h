#pragma once
// What QEMU says on its QMP socket, one JSON object per line: the greeting, asynchronous
// events, and replies to commands matched by "id". QmpReader cuts the byte stream into lines
// and classifies each; a line that is none of the three is dropped.

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <vector>

namespace quorvale::guest {

struct QmpMessage {
    enum class Kind { greeting, event, reply };

    Kind kind = Kind::reply;
    QString event;       // an event's name
    QJsonObject data;    // an event's "data"
    qint64 id = 0;       // a reply's "id"
    QJsonObject object;  // the whole message
};

class QmpReader {
public:
    // Takes the next bytes of the stream; returns the messages of the lines they complete.
    std::vector<QmpMessage> read(const QByteArray& bytes);

private:
    QByteArray buffer;
};

}  // namespace quorvale::guest
