#include "app/browser/audit_log.h"

#include <QDateTime>
#include <QDir>
#include <QFile>

#include "app/browser/browser_paths.h"
#include "app/core/app_log.h"
#include "app/core/app_settings.h"

Q_LOGGING_CATEGORY(lcAudit, "com.quorvale.app.Audit")

namespace quorvale::app {

QString auditLogPath() {
    return QDir(stateDirectory()).filePath(QStringLiteral("audit.log"));
}

QString auditAction(fileops::Change::Kind kind, bool replacesEntry) {
    using Kind = fileops::Change::Kind;
    switch (kind) {
        case Kind::deleted:
            return QStringLiteral("DELETE");
        case Kind::renamed:
            return QStringLiteral("RENAME");
        case Kind::copied:
            return QStringLiteral("COPY");
        case Kind::moved:
            return QStringLiteral("MOVE");
        case Kind::folderCreated:
            return QStringLiteral("NEW FOLDER");
        case Kind::linked:
            return replacesEntry ? QStringLiteral("REPLACE WITH LINK") : QStringLiteral("LINK");
        case Kind::written:
            return replacesEntry ? QStringLiteral("REPLACE") : QStringLiteral("WRITE");
    }
    return QStringLiteral("CHANGE");
}

void recordChange(const QString& action, const fileops::Change& change, const QString& disk) {
    const QString line = auditLine(QDateTime::currentDateTimeUtc(), action, change.path,
                                   change.target, change.partition, disk);
    qCInfo(lcAudit, "%s", qUtf8Printable(line));
    QDir().mkpath(stateDirectory());
    QFile file(auditLogPath());
    if (file.open(QIODevice::WriteOnly | QIODevice::Append))
        file.write(line.toUtf8() + '\n');
}

}  // namespace quorvale::app
