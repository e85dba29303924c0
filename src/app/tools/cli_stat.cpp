// stat: one entry's details, as lines of "Field: value" or as JSON.

#include <QJsonObject>

#include "cli_support.h"

namespace quorvale::app::cli {

QCoro::Task<void> statCommand(Session& session, Remote remote, Options options) {
    std::optional<model::FileItem> item;
    if (remote.path == QLatin1String("/")) {
        // The root has no parent listing to be found in.
        model::FileItem root;
        root.name = root.path = root.id = remote.path;
        root.isDirectory = true;
        item = root;
    } else {
        item = co_await lookUp(session, remote);
    }
    if (!item)
        throw CliError("no such file or directory: " + remote.path.toStdString());
    if (options.json) {
        printJson(entryJson(*item));
        co_return;
    }
    print(QStringLiteral("  File: %1").arg(item->path));
    print(QStringLiteral("  Type: %1").arg(entryType(*item)));
    if (item->symlinkTarget)
        print(QStringLiteral("Target: %1").arg(*item->symlinkTarget));
    print(QStringLiteral("  Size: %1 (%2)").arg(item->size).arg(bytesText(item->size)));
    print(
        QStringLiteral("  Mode: %1 (%2)")
            .arg(QString::number(item->permissions & 07777, 8).rightJustified(4, QLatin1Char('0')),
                 item->permissionText()));
    print(QStringLiteral(" Owner: %1:%2").arg(item->owner, item->group));
    print(QStringLiteral("Modify: %1").arg(item->modifiedDate.toUTC().toString(Qt::ISODate)));
}

}  // namespace quorvale::app::cli
