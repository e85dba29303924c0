// ls: the entries of a folder, by name (folders end in "/"), in long form with -l, or as JSON.

#include <QJsonArray>
#include <QJsonObject>

#include "cli_support.h"

namespace quorvale::app::cli {

QString longLine(const model::FileItem& item) {
    QString name =
        item.name + (item.isDirectory && !item.isSymlink ? QStringLiteral("/") : QString());
    if (item.symlinkTarget)
        name += QStringLiteral(" -> ") + *item.symlinkTarget;
    return QStringLiteral("%1 %2 %3 %4 %5 %6")
        .arg(item.permissionText(), item.owner.leftJustified(8), item.group.leftJustified(8),
             QString::number(item.size).rightJustified(12),
             item.modifiedDate.toUTC().toString(Qt::ISODate), name);
}

QCoro::Task<void> listCommand(Session& session, Remote path, Options options) {
    FileBrowserViewModel& browser = session.browser(path.partition);
    co_await browser.navigateTo(path.path);
    if (browser.error())
        throw CliError(browser.error()->toStdString());
    if (options.json) {
        QJsonArray entries;
        for (const model::FileItem& item : browser.files())
            entries.append(entryJson(item));
        printJson(entries);
        co_return;
    }
    for (const model::FileItem& item : browser.files()) {
        if (options.longListing)
            print(longLine(item));
        else
            print(item.name +
                  (item.isDirectory && !item.isSymlink ? QStringLiteral("/") : QString()));
    }
}

}  // namespace quorvale::app::cli
