#include "app/audit_log.h"

#include <QDateTime>
#include <QDir>
#include <QFile>

#include "app/app_log.h"
#include "app/app_settings.h"
#include "app/browser_paths.h"

Q_LOGGING_CATEGORY(lcAudit, "com.quorvale.app.Audit")

namespace quorvale::app {

QString auditLogPath() {
    return QDir(stateDirectory()).filePath(QStringLiteral("audit.log"));
}

void recordDeletions(const QStringList& paths, const std::optional<QString>& partition) {
    QDir().mkpath(stateDirectory());
    QFile file(auditLogPath());
    const bool writable = file.open(QIODevice::WriteOnly | QIODevice::Append);
    for (const QString& path : paths) {
        const QString line = auditLine(QDateTime::currentDateTimeUtc(), path, partition);
        qCInfo(lcAudit, "%s", qUtf8Printable(line));
        if (writable)
            file.write(line.toUtf8() + '\n');
    }
}

}  // namespace quorvale::app
