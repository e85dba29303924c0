#include "cli_support.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>

#include <cstdio>

#include "app/browser/browser_paths.h"
#include "fileops/file_operation_service.h"

namespace quorvale::app::cli {

void print(const QString& line) {
    std::fprintf(stdout, "%s\n", qUtf8Printable(line));
}

QString bytesText(std::uint64_t bytes) {
    return QLocale::c().formattedDataSize(static_cast<qint64>(bytes), 1, QLocale::DataSizeSIFormat);
}

void printJson(const QJsonValue& value) {
    const QByteArray text = value.isArray()
                                ? QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact)
                                : QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact);
    std::fprintf(stdout, "%s\n", text.constData());
}

QString joined(const QString& directory, const QString& name) {
    return directory.endsWith(QLatin1Char('/')) ? directory + name
                                                : directory + QLatin1Char('/') + name;
}

QCoro::Task<std::optional<model::FileItem>> lookUp(Session& session, Remote remote) {
    const QString parent = parentPath(remote.path);
    const auto items = co_await session.service().listDirectory(parent, remote.partition);
    const QString name = remote.path.section(QLatin1Char('/'), -1, -1, QString::SectionSkipEmpty);
    for (const model::FileItem& item : items) {
        if (item.name == name)
            co_return item;
    }
    co_return std::nullopt;
}

QString entryType(const model::FileItem& item) {
    if (item.isSymlink)
        return QStringLiteral("symlink");
    return item.isDirectory ? QStringLiteral("directory") : QStringLiteral("file");
}

QJsonObject entryJson(const model::FileItem& item) {
    QJsonObject object{
        {QStringLiteral("name"), item.name},
        {QStringLiteral("path"), item.path},
        {QStringLiteral("type"), entryType(item)},
        {QStringLiteral("size"), static_cast<qint64>(item.size)},
        {QStringLiteral("mode"), static_cast<int>(item.permissions & 07777)},
        {QStringLiteral("permissions"), item.permissionText()},
        {QStringLiteral("owner"), item.owner},
        {QStringLiteral("group"), item.group},
        {QStringLiteral("modified"), item.modifiedDate.toUTC().toString(Qt::ISODate)},
    };
    if (item.symlinkTarget)
        object.insert(QStringLiteral("target"), *item.symlinkTarget);
    return object;
}

}  // namespace quorvale::app::cli
