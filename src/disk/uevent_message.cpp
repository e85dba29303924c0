#include "disk/uevent_message.h"

#include <cstring>

namespace quorvale::disk {

std::optional<UeventMessage> UeventMessage::parse(const char* data, std::size_t size) {
    if (!data || size == 0)
        return std::nullopt;
    // Header "action@devpath", then NUL-separated KEY=value pairs.
    const char* end = data + size;
    const char* headerEnd = static_cast<const char*>(std::memchr(data, '\0', size));
    if (!headerEnd)
        headerEnd = end;
    const QByteArray header(data, headerEnd - data);
    const qsizetype at = header.indexOf('@');
    if (at <= 0 || at + 1 >= header.size() || header.startsWith("libudev"))
        return std::nullopt;
    UeventMessage message;
    message.action = QString::fromUtf8(header.left(at));
    message.devpath = QString::fromUtf8(header.mid(at + 1));
    for (const char* p = headerEnd + (headerEnd < end ? 1 : 0); p < end;) {
        const char* next = static_cast<const char*>(std::memchr(p, '\0', end - p));
        if (!next)
            next = end;
        const QByteArray pair(p, next - p);
        const qsizetype eq = pair.indexOf('=');
        if (eq > 0)
            message.properties.insert(QString::fromUtf8(pair.left(eq)),
                                      QString::fromUtf8(pair.mid(eq + 1)));
        p = next + 1;
    }
    // The pairs repeat the header; when they disagree, the message is not trustworthy.
    const auto action = message.properties.constFind(QStringLiteral("ACTION"));
    if (action != message.properties.constEnd() && *action != message.action)
        return std::nullopt;
    return message;
}

QString UeventMessage::sysname() const {
    QString name = properties.value(QStringLiteral("DEVNAME"));
    if (name.startsWith(QLatin1String("/dev/")))
        name = name.mid(5);
    if (name.isEmpty())
        name = devpath.section(QLatin1Char('/'), -1);
    return name;
}

}  // namespace quorvale::disk
