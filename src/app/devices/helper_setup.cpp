#include "app/devices/helper_setup.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

namespace quorvale::app {

std::optional<QString> helperInstallCommand(const QString& installedHelper,
                                            const QString& applicationDirectory,
                                            const QString& buildDirectory) {
    if (installedHelper.isEmpty() || QFileInfo(installedHelper).isExecutable())
        return std::nullopt;
    const QString build = QFileInfo(buildDirectory).canonicalFilePath();
    const QString application = QFileInfo(applicationDirectory).canonicalFilePath();
    if (build.isEmpty() || application.isEmpty() ||
        (application != build && !application.startsWith(build + QLatin1Char('/'))))
        return std::nullopt;
    return QStringLiteral("sudo cmake --install ") + shellWord(build);
}

QString shellWord(const QString& text) {
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_./:=+-]+$"));
    if (plain.match(text).hasMatch())
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

}  // namespace quorvale::app
