// FileBrowserView's drags out to other applications: file URLs exported into a private folder
// when the target asks for them, or, with a file manager that saves directly (direct_save.h),
// the one entry exported to the place the target names.

#include <QDrag>
#include <QMimeData>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include "ui/browser/direct_save.h"
#include "ui/browser/entry_drag.h"
#include "ui/browser/file_browser_view.h"

namespace quorvale::ui {
namespace {

QCoro::Task<bool> saveDirectly(QPointer<FileBrowserView> view, model::FileItem item, QString folder,
                               QString name) {
    if (!view)
        co_return false;
    co_return co_await view->exportForDirectSave(std::move(item), std::move(folder),
                                                 std::move(name));
}

}  // namespace

QMimeData* FileBrowserView::dragData(const QList<model::FileItem>& targets) {
    QPointer<FileBrowserView> self(this);
    // Other applications get the files only when they ask, once the entries are dropped.
    return new EntryDragData(browserVM->currentPartition.value_or(QString()), targets,
                             [self, targets]() -> QList<QUrl> {
                                 if (!self)
                                     return {};
                                 const auto urls = QCoro::waitFor(self->exportForDrag(targets));
                                 return urls.value_or(QList<QUrl>{});
                             });
}

QCoro::Task<std::optional<QList<QUrl>>> FileBrowserView::exportSelectionForDrag() {
    co_return co_await exportForDrag(browserVM->selectedItems());
}

QCoro::Task<std::optional<QList<QUrl>>> FileBrowserView::exportForDrag(
    QList<model::FileItem> targets) {
    QList<model::FileItem> files;
    // Folders go whole; a link would hand out a link to nothing outside the card.
    for (const model::FileItem& item : targets)
        if (!item.isSymlink)
            files << item;
    if (files.isEmpty() || browserVM->isTransferring())
        co_return std::nullopt;
    QPointer<FileBrowserView> self(this);
    dragFolder = std::make_unique<QTemporaryDir>();
    const QString folder = dragFolder->path();
    QStringList exported;
    setExporting(true);
    try {
        exported = (co_await browserVM->exportItems(files, folder)).written;
    } catch (const std::exception& error) {
        if (self) {
            setExporting(false);
            showFailure(QStringLiteral("Export failed: "), error);
        }
        co_return std::nullopt;
    }
    if (self)
        setExporting(false);
    QList<QUrl> urls;
    for (const QString& path : exported)
        urls << QUrl::fromLocalFile(path);
    co_return urls;
}

QCoro::Task<bool> FileBrowserView::exportForDirectSave(model::FileItem item, QString folder,
                                                       QString name) {
    if (browserVM->isTransferring())
        co_return false;
    QPointer<FileBrowserView> self(this);
    setExporting(true);
    std::optional<app::TransferReport> report;
    QList<model::FileItem> items;
    items << item;
    try {
        report = co_await browserVM->exportItems(items, folder, name);
    } catch (const std::exception& error) {
        if (self)
            showFailure(QStringLiteral("Export failed: "), error);
    }
    if (self)
        setExporting(false);
    // A skipped name or a cancel leaves the target without the file.
    co_return report && !report->cancelled && !report->written.isEmpty();
}

void FileBrowserView::dragOut() {
    const QList<model::FileItem> selected = browserVM->selectedItems();
    if (selected.isEmpty())
        return;
    QMimeData* data = dragData(selected);
    // The previous drag's offer ends here (a save it began still answers its target).
    directSave.reset();
    // One entry may be saved straight where a file manager wants it; several, or a link, go
    // as file URLs only (targets take one name).
    if (selected.size() == 1 && !selected.first().isSymlink && DirectSave::available()) {
        QPointer<FileBrowserView> self(this);
        const model::FileItem item = selected.first();
        directSave = std::make_unique<DirectSave>(
            item.displayName(), [self, item](QString folder, QString name) {
                return saveDirectly(self, item, std::move(folder), std::move(name));
            });
        // What a request the direct save did not take gets: "F", ask for the file URLs.
        data->setData(DirectSave::format, QByteArrayLiteral("F"));
    }
    auto* drag = new QDrag(this);
    drag->setMimeData(data);
    drag->exec(Qt::CopyAction | Qt::MoveAction, Qt::CopyAction);
}

}  // namespace quorvale::ui
