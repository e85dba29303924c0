// FileBrowserView opening files with the desktop's default application, or with one the user
// chooses (Open With…). The file is exported first (the transfer strip shows the progress of a
// large one) into a folder of its own, private to the user, under the user's cache; the desktop
// then opens that copy. Changes made there stay on the computer. The folders of earlier runs are
// removed when the first browser starts.

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrl>

#include "ui/browser/file_browser_view.h"
#include "ui/sheets/open_with_sheet.h"

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

QCoro::Task<std::optional<QString>> FileBrowserView::exportForOpening(model::FileItem item) {
    if (item.isDirectory || browserVM->isTransferring())
        co_return std::nullopt;
    QPointer<FileBrowserView> self(this);
    QDir().mkpath(openedFilesFolder());
    // Created 0700: other accounts cannot read what was opened.
    QTemporaryDir folder(QDir(openedFilesFolder()).filePath(QStringLiteral("XXXXXX")));
    if (!folder.isValid()) {
        appState.setActiveAlert(app::AppAlert::error(
            QStringLiteral("Open failed: cannot create a folder in %1").arg(openedFilesFolder())));
        co_return std::nullopt;
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
        co_return std::nullopt;
    }
    if (!self || report.cancelled || report.written.isEmpty()) {
        QDir(path).removeRecursively();
        co_return std::nullopt;
    }
    co_return report.written.first();
}

QCoro::Task<bool> FileBrowserView::openFile(model::FileItem item) {
    QPointer<FileBrowserView> self(this);
    const std::optional<QString> copy = co_await exportForOpening(item);
    if (!copy || !self)
        co_return false;
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(*copy))) {
        appState.setActiveAlert(app::AppAlert::error(
            QStringLiteral("Open failed: no application opens “%1”").arg(item.displayName())));
        co_return false;
    }
    co_return true;
}

void FileBrowserView::beginOpenWith(const model::FileItem& item) {
    if (item.isDirectory)
        return;
    auto* sheet = new OpenWithSheet(item.displayName(), this);
    sheet->setObjectName(QStringLiteral("openWithSheet"));
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    connect(sheet, &OpenWithSheet::applicationChosen, this,
            [this, item](const app::DesktopApplication& application) {
                openFileWith(item, application);
            });
    sheet->open();
}

QCoro::Task<bool> FileBrowserView::openFileWith(model::FileItem item,
                                                app::DesktopApplication application) {
    QPointer<FileBrowserView> self(this);
    const std::optional<QString> copy = co_await exportForOpening(item);
    if (!copy || !self)
        co_return false;
    QStringList arguments = app::launchArguments(application, *copy);
    const QString program = arguments.takeFirst();
    // Started on its own, in the copy's folder: it outlives the browser like any application.
    if (!QProcess::startDetached(program, arguments, QFileInfo(*copy).absolutePath())) {
        appState.setActiveAlert(app::AppAlert::error(
            QStringLiteral("Open failed: %1 could not be started").arg(application.name)));
        co_return false;
    }
    co_return true;
}

}  // namespace quorvale::ui
