// FileBrowserView opening files with the desktop's default application. The file is exported
// first (the transfer strip shows the progress of a large one) into a folder of its own, private
// to the user, under the user's cache; the desktop then opens that copy. Changes made there stay
// on the computer. The folders of earlier runs are removed when the first browser starts.

#include <QDesktopServices>
#include <QDir>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrl>

#include "ui/browser/file_browser_view.h"

namespace quorvale::ui {

QString FileBrowserView::openedFilesFolder() {
    return QDir(QStandardPaths::writableLocation(QStandardPaths::CacheLocation))
        .filePath(QStringLiteral("opened"));
}

void FileBrowserView::removeEarlierOpenedFiles() {
    static bool removed = false;
    if (removed)
        return;
    removed = true;
    QDir(openedFilesFolder()).removeRecursively();
}

QCoro::Task<bool> FileBrowserView::openFile(model::FileItem item) {
    if (item.isDirectory || browserVM->isTransferring())
        co_return false;
    QPointer<FileBrowserView> self(this);
    QDir().mkpath(openedFilesFolder());
    // Created 0700: other accounts cannot read what was opened.
    QTemporaryDir folder(QDir(openedFilesFolder()).filePath(QStringLiteral("XXXXXX")));
    if (!folder.isValid()) {
        appState.setActiveAlert(app::AppAlert::error(
            QStringLiteral("Open failed: cannot create a folder in %1").arg(openedFilesFolder())));
        co_return false;
    }
    folder.setAutoRemove(false);
    const QString path = folder.path();
    app::TransferReport report;
    // Built before the co_await: g++ 12 cannot keep a braced list across one.
    QList<model::FileItem> items;
    items.append(item);
    try {
        report = co_await browserVM->exportItems(std::move(items), path);
    } catch (const std::exception& error) {
        if (self)
            showFailure(QStringLiteral("Open failed: "), error);
        QDir(path).removeRecursively();
        co_return false;
    }
    if (!self || report.cancelled || report.written.isEmpty()) {
        QDir(path).removeRecursively();
        co_return false;
    }
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(report.written.first()))) {
        appState.setActiveAlert(app::AppAlert::error(
            QStringLiteral("Open failed: no application opens “%1”").arg(item.displayName())));
        co_return false;
    }
    co_return true;
}

}  // namespace quorvale::ui
