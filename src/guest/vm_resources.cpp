#include "guest/vm_resources.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace quorvale::guest {

VMResources VMResources::forApplication() {
    return VMResources(locate(QCoreApplication::applicationDirPath()));
}

QString VMResources::locate(const QString& applicationDir) {
    const QString override = qEnvironmentVariable(overrideVariable);
    if (!override.isEmpty())
        return override;
    // A program inside the build tree uses the build tree's resources.
    const QString buildDir = QDir(QStringLiteral(QUORVALE_BUILD_DIR)).canonicalPath();
    const QString appDir = QDir(applicationDir).canonicalPath();
    if (!buildDir.isEmpty() && (appDir == buildDir || appDir.startsWith(buildDir + '/')))
        return QStringLiteral(QUORVALE_BUILD_SHARE_DIR);
    // Installed: <prefix>/bin/.. or <prefix>/libexec/quorvale/../.. holds share/quorvale.
    for (const char* up : {"..", "../.."}) {
        const QString candidate =
            QDir(applicationDir + '/' + up + QStringLiteral("/share/quorvale")).absolutePath();
        if (QFileInfo(candidate).isDir())
            return QDir::cleanPath(candidate);
    }
    return QStringLiteral(QUORVALE_INSTALL_SHARE_DIR);
}

std::optional<QString> VMResources::find(const QString& name) const {
    for (const QString& candidate : {resourcesDir + QStringLiteral("/vm/") + name,
                                     resourcesDir + QStringLiteral("/") + name}) {
        const QFileInfo info(candidate);
        if (info.isFile())
            return info.absoluteFilePath();
    }
    return std::nullopt;
}

}  // namespace quorvale::guest
