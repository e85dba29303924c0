// FileBrowserView's menus, shortcuts and flows: rename, export, upload, drops in,
// cut, copy and paste, new folder, duplicate, copy path and the delete request.

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QStackedWidget>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include "app/browser/browser_paths.h"
#include "fileops/file_operation_service.h"
#include "ui/browser/breadcrumb_bar.h"
#include "ui/browser/completion_notice.h"
#include "ui/browser/entry_drag.h"
#include "ui/browser/file_browser_view.h"
#include "ui/browser/file_item_model.h"
#include "ui/browser/file_list_view.h"
#include "ui/sheets/rename_sheet.h"

namespace quorvale::ui {
namespace {

template <typename Slot>
QAction* addItem(QMenu* menu, const QString& text, QObject* context, Slot slot) {
    QAction* action = menu->addAction(text);
    QObject::connect(action, &QAction::triggered, context, slot);
    return action;
}

QSet<QString> idsOf(const QList<model::FileItem>& items) {
    QSet<QString> ids;
    for (const model::FileItem& item : items)
        ids.insert(item.id);
    return ids;
}

}  // namespace

QString FileBrowserView::exportMessage(qsizetype count) {
    return QStringLiteral("Choose a folder to export %1 file%2 to")
        .arg(count)
        .arg(count == 1 ? QString() : QStringLiteral("s"));
}

void FileBrowserView::toggleSelectAll() {
    if (allVisibleSelected())
        browserVM->setSelectedFiles({});
    else
        browserVM->selectAll();
}

QMenu* FileBrowserView::browserMenu() {
    auto* menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addAction(goUpAction);
    menu->addSeparator();
    menu->addAction(newFolderAction);
    menu->addAction(uploadAction);
    menu->addAction(uploadFolderAction);
    menu->addAction(pasteAction);
    selectAllAction->setText(allVisibleSelected() ? QStringLiteral("Deselect All")
                                                  : QStringLiteral("Select All"));
    menu->addAction(selectAllAction);
    const QList<model::FileItem> selected = browserVM->selectedItems();
    if (!selected.isEmpty()) {
        menu->addSeparator();
        menu->addAction(cutAction);
        menu->addAction(copyAction);
        addItem(menu, QStringLiteral("Copy Path"), this, [this, selected] { copyPaths(selected); });
        addItem(menu, QStringLiteral("Export to Computer…"), this,
                [this, selected] { beginExport(selected); });
        if (selected.size() == 1)
            addItem(menu, QStringLiteral("Duplicate"), this, [this, item = selected.first()] {
                duplicate(item);
            })->setEnabled(changesAllowed());
        QAction* remove = addItem(menu, QStringLiteral("Delete Permanently"), this,
                                  [this, selected] { requestDelete(selected); });
        remove->setProperty("destructive", true);
        remove->setEnabled(changesAllowed());
    }
    menu->addSeparator();
    menu->addAction(refreshAction);
    return menu;
}

QMenu* FileBrowserView::entryMenu(const model::FileItem& item) {
    auto* menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    const QSet<QString> selectedIds = browserVM->selectedFiles();
    const bool inSelection = selectedIds.contains(item.id);
    const QList<model::FileItem> targets = inSelection && selectedIds.size() >= 2
                                               ? browserVM->selectedItems()
                                               : QList<model::FileItem>{item};
    addItem(menu, QStringLiteral("Open"), this, [this, item] { openItem(item); });
    if (!item.isDirectory)
        addItem(menu, QStringLiteral("Open With…"), this, [this, item] { beginOpenWith(item); });
    if (browserVM->showsSearchResults())
        addItem(menu, QStringLiteral("Show in Folder"), this, [this, item] { showInFolder(item); });
    addItem(menu, QStringLiteral("Get Info"), this, [this, item] {
        browserVM->setSelectedFiles({item.id});
        appState.setShowPreviewPanel(true);
        previewVM->loadPreview(item);
    });
    menu->addSeparator();
    if (selectedIds.size() <= 1) {
        addItem(menu, QStringLiteral("Rename…"), this, [this, item] {
            beginRename(item);
        })->setEnabled(changesAllowed());
        addItem(menu, QStringLiteral("Duplicate"), this, [this, item] {
            duplicate(item);
        })->setEnabled(changesAllowed());
    }
    addItem(menu, QStringLiteral("Cut"), this, [this, targets] {
        browserVM->setSelectedFiles(idsOf(targets));
        cutSelection();
    })->setEnabled(changesAllowed());
    addItem(menu, QStringLiteral("Copy"), this, [this, targets] {
        browserVM->setSelectedFiles(idsOf(targets));
        copySelection();
    });
    if (item.isDirectory && !item.isSymlink && browserVM->clipboard())
        addItem(menu, QStringLiteral("Paste Into Folder"), this, [this, path = item.path] {
            paste(path);
        })->setEnabled(changesAllowed());
    addItem(menu, QStringLiteral("Copy Path"), this, [this, targets] { copyPaths(targets); });
    if (!item.isDirectory || targets.size() >= 2)
        addItem(menu, QStringLiteral("Export to Computer…"), this,
                [this, targets] { beginExport(targets); });
    menu->addSeparator();
    const QString deleteText = targets.size() >= 2
                                   ? QStringLiteral("Delete %1 Items").arg(targets.size())
                                   : QStringLiteral("Delete");
    QAction* remove = addItem(menu, deleteText, this, [this, targets] { requestDelete(targets); });
    remove->setProperty("destructive", true);
    remove->setEnabled(changesAllowed());
    return menu;
}

void FileBrowserView::contextMenuEvent(QContextMenuEvent* event) {
    browserMenu()->popup(event->globalPos());
}

void FileBrowserView::showEntryMenu(QAbstractItemView* view, const QPoint& position) {
    const QModelIndex index = view->indexAt(position);
    QMenu* menu = index.isValid() ? entryMenu(items->item(index.row())) : browserMenu();
    menu->popup(view->viewport()->mapToGlobal(position));
}

void FileBrowserView::requestDelete(const QList<model::FileItem>& targets) {
    if (targets.isEmpty())
        return;
    appState.setActiveAlert(app::AppAlert::deleteConfirmation(targets));
}

void FileBrowserView::showFailure(const QString& prefix, const std::exception& error) {
    appState.setActiveAlert(app::AppAlert::error(prefix + QString::fromUtf8(error.what())));
}

void FileBrowserView::copyPaths(const QList<model::FileItem>& targets) {
    QStringList paths;
    for (const model::FileItem& item : targets)
        paths << item.path;
    QGuiApplication::clipboard()->clear();
    QGuiApplication::clipboard()->setText(paths.join(QLatin1Char('\n')));
}

void FileBrowserView::beginRename(const model::FileItem& item) {
    auto* sheet = new RenameSheet(item.name, this);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    connect(sheet, &RenameSheet::renameConfirmed, this,
            [this, item](const QString& text) { rename(item, text); });
    sheet->open();
}

QCoro::Task<void> FileBrowserView::rename(model::FileItem item, QString typed) {
    const auto name = RenameSheet::newName(item.name, typed);
    if (!name || !browserVM->fileOpService)
        co_return;
    QPointer<FileBrowserView> self(this);
    const auto service = browserVM->fileOpService;
    const auto partition = browserVM->currentPartition;
    QString renamed;
    try {
        renamed = co_await service->rename(item.path, *name, partition);
    } catch (const std::exception& error) {
        if (self)
            showFailure(QStringLiteral("Rename failed: "), error);
        co_return;
    }
    if (!self)
        co_return;
    co_await browserVM->loadDirectory();
    // The entry stays selected under its new name.
    if (self)
        browserVM->selectEntry(renamed, app::SelectionGesture::only);
}

void FileBrowserView::beginExport(const QList<model::FileItem>& targets) {
    if (targets.isEmpty())
        return;
    auto* dialog = new QFileDialog(this, exportMessage(targets.size()));
    dialog->setObjectName(QStringLiteral("exportDialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setOption(QFileDialog::ShowDirsOnly);
    dialog->setLabelText(QFileDialog::Accept, QStringLiteral("Export Here"));
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    connect(dialog, &QFileDialog::fileSelected, this, [this, targets](const QString& folder) {
        if (!folder.isEmpty())
            exportTo(targets, folder);
    });
    dialog->open();
}

QCoro::Task<void> FileBrowserView::exportTo(QList<model::FileItem> targets, QString folder) {
    QPointer<FileBrowserView> self(this);
    setExporting(true);
    std::optional<app::TransferReport> report;
    try {
        report = co_await browserVM->exportItems(targets, folder);
    } catch (const std::exception& error) {
        if (self)
            showFailure(QStringLiteral("Export failed: "), error);
    }
    if (!self)
        co_return;
    setExporting(false);
    if (report && report->filesTotal > 0)
        doneNotice->present(report->text(), report->filesDone > 0 ? folder : QString());
}

void FileBrowserView::beginUpload() {
    auto* dialog = new QFileDialog(this, QStringLiteral("Choose files to upload to the %1")
                                             .arg(app::mediumNoun(appState.selectedPartition())));
    dialog->setObjectName(QStringLiteral("uploadDialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setFileMode(QFileDialog::ExistingFiles);
    dialog->setLabelText(QFileDialog::Accept, QStringLiteral("Upload"));
    connect(dialog, &QFileDialog::filesSelected, this,
            [this](const QStringList& paths) { upload(paths); });
    dialog->open();
}

void FileBrowserView::beginFolderUpload() {
    auto* dialog = new QFileDialog(this, QStringLiteral("Choose a folder to upload to the %1")
                                             .arg(app::mediumNoun(appState.selectedPartition())));
    dialog->setObjectName(QStringLiteral("uploadFolderDialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setOption(QFileDialog::ShowDirsOnly);
    dialog->setLabelText(QFileDialog::Accept, QStringLiteral("Upload"));
    connect(dialog, &QFileDialog::fileSelected, this, [this](const QString& folder) {
        if (!folder.isEmpty())
            upload({folder});
    });
    dialog->open();
}

QCoro::Task<void> FileBrowserView::upload(QStringList paths) {
    if (paths.isEmpty())
        co_return;
    QPointer<FileBrowserView> self(this);
    isUploading = true;
    std::optional<app::TransferReport> report;
    try {
        report = co_await browserVM->uploadFiles(paths);
    } catch (const std::exception& error) {
        if (self)
            showFailure(QStringLiteral("Upload failed: "), error);
    }
    if (!self)
        co_return;
    isUploading = false;
    if (report && (report->filesDone > 0 || report->cancelled))
        doneNotice->present(report->text());
}

QCoro::Task<void> FileBrowserView::newFolder() {
    QPointer<FileBrowserView> self(this);
    QStringList taken;
    for (const model::FileItem& item : browserVM->allFiles())
        taken << item.name;
    const QString name = app::freeName(newFolderName, taken);
    const QString path = app::childPath(browserVM->currentPath(), name);
    try {
        co_await browserVM->createFolder(name);
    } catch (const std::exception& error) {
        if (self)
            showFailure(QStringLiteral("New folder failed: "), error);
        co_return;
    }
    if (!self)
        co_return;
    // The new folder is selected and its name open for typing.
    browserVM->selectEntry(path, app::SelectionGesture::only);
    editName(path);
}

void FileBrowserView::editName(const QString& id) {
    const int row = items->rowOf(id);
    if (row < 0)
        return;
    QAbstractItemView* view = appState.viewMode() == app::ViewMode::list
                                  ? static_cast<QAbstractItemView*>(listView)
                                  : static_cast<QAbstractItemView*>(gridView);
    const QModelIndex index = items->index(row, FileItemModel::name);
    view->setCurrentIndex(index);
    view->scrollTo(index);
    view->setFocus(Qt::OtherFocusReason);
    view->edit(index);
}

QCoro::Task<void> FileBrowserView::duplicate(model::FileItem item) {
    QPointer<FileBrowserView> self(this);
    try {
        co_await browserVM->duplicate(item);
    } catch (const std::exception& error) {
        if (self)
            showFailure(QStringLiteral("Duplicate failed: "), error);
    }
}

QList<QAction*> FileBrowserView::editActions() const {
    return {cutAction, copyAction, pasteAction, uploadAction, uploadFolderAction};
}

void FileBrowserView::updatePaste() {
    const auto& clip = browserVM->clipboard();
    const qsizetype count = clip ? clip->items.size() : 0;
    pasteAction->setText(count >= 2 ? QStringLiteral("Paste %1 Items").arg(count)
                                    : QStringLiteral("Paste"));
    pasteAction->setEnabled(count > 0 && changesAllowed());
}

void FileBrowserView::cutSelection() {
    if (changesAllowed())
        browserVM->cutSelection();
}

void FileBrowserView::copySelection() {
    browserVM->copySelection();
}

QCoro::Task<void> FileBrowserView::paste(QString folder) {
    const auto clip = browserVM->clipboard();
    if (!clip || !changesAllowed())
        co_return;
    // Through the model's paste: a cut is used up once its entries have moved.
    co_await showPlacement(browserVM->paste(folder),
                           clip->cut ? app::Placement::move : app::Placement::copy);
}

QCoro::Task<void> FileBrowserView::place(QList<model::FileItem> targets, QString fromPartition,
                                         QString folder, app::Placement kind) {
    co_await showPlacement(browserVM->placeItems(targets, fromPartition, folder, kind), kind);
}

QCoro::Task<void> FileBrowserView::showPlacement(QCoro::Task<app::PlacementReport> placing,
                                                 app::Placement kind) {
    QPointer<FileBrowserView> self(this);
    std::optional<app::PlacementReport> report;
    try {
        report = co_await std::move(placing);
    } catch (const app::PlacementRefused& refusal) {
        if (self)
            appState.setActiveAlert(app::AppAlert::error(QString::fromUtf8(refusal.what())));
        co_return;
    } catch (const std::exception& error) {
        if (self)
            showFailure(kind == app::Placement::move ? QStringLiteral("Move failed: ")
                                                     : QStringLiteral("Copy failed: "),
                        error);
        co_return;
    }
    if (self && report)
        doneNotice->present(report->text());
}

std::optional<QString> FileBrowserView::dropFolderAt(const QPoint& position) const {
    QWidget* under = childAt(position);
    if (under && under->objectName() == QLatin1String("crumb") &&
        under->property("path").isValid() && crumbs->isAncestorOf(under))
        return under->property("path").toString();
    const bool list = contentStack->currentWidget() == listView;
    const QAbstractItemView* view = list ? static_cast<const QAbstractItemView*>(listView)
                                         : static_cast<const QAbstractItemView*>(gridView);
    if (contentStack->currentWidget() != view)
        return std::nullopt;
    const QPoint local = view->viewport()->mapFrom(this, position);
    if (!view->viewport()->rect().contains(local))
        return std::nullopt;
    const QModelIndex index = view->indexAt(local);
    if (index.isValid()) {
        const model::FileItem item = items->item(index.row());
        if (item.isDirectory && !item.isSymlink)
            return item.path;
    }
    return browserVM->currentPath();
}

namespace {

// Entries of this browser dragged over it, if so.
const EntryDragData* entryDrag(const QMimeData* data) {
    return qobject_cast<const EntryDragData*>(data);
}

// Whether a drag of `drag` may end in `folder`: not onto one of the entries dragged, and not
// into the folder they are all in already.
bool acceptsEntries(const EntryDragData& drag, const QString& folder,
                    const std::optional<QString>& partition) {
    if (drag.partition() != partition)
        return true;
    bool allThere = true;
    for (const model::FileItem& item : drag.items()) {
        if (item.path == folder)
            return false;
        allThere = allThere && app::parentPath(item.path) == folder;
    }
    return !allThere;
}

}  // namespace

void FileBrowserView::dragEnterEvent(QDragEnterEvent* event) {
    if (entryDrag(event->mimeData()) && changesAllowed()) {
        // Decided over each folder as the drag moves.
        event->acceptProposedAction();
        return;
    }
    if (event->mimeData()->hasUrls() && event->source() == nullptr && changesAllowed())
        event->acceptProposedAction();
}

void FileBrowserView::dragMoveEvent(QDragMoveEvent* event) {
    if (const EntryDragData* drag = entryDrag(event->mimeData())) {
        const auto folder = dropFolderAt(event->position().toPoint());
        if (folder && changesAllowed() &&
            acceptsEntries(*drag, *folder, browserVM->currentPartition)) {
            event->setDropAction(event->modifiers().testFlag(Qt::ControlModifier) ? Qt::CopyAction
                                                                                  : Qt::MoveAction);
            event->accept();
        } else {
            event->ignore();
        }
        return;
    }
    if (event->mimeData()->hasUrls() && event->source() == nullptr && changesAllowed())
        event->acceptProposedAction();
}

void FileBrowserView::dropEvent(QDropEvent* event) {
    if (const EntryDragData* drag = entryDrag(event->mimeData())) {
        const auto folder = dropFolderAt(event->position().toPoint());
        if (!folder || !changesAllowed() ||
            !acceptsEntries(*drag, *folder, browserVM->currentPartition))
            return;
        // Ctrl copies; otherwise the entries move (between partitions they are copied).
        const bool copying = event->modifiers().testFlag(Qt::ControlModifier);
        event->setDropAction(copying ? Qt::CopyAction : Qt::MoveAction);
        event->accept();
        QMetaObject::invokeMethod(
            this,
            [this, targets = drag->items(), from = drag->partition(), to = *folder, copying] {
                place(targets, from, to, copying ? app::Placement::copy : app::Placement::move);
            },
            Qt::QueuedConnection);
        return;
    }
    QStringList paths;
    for (const QUrl& url : event->mimeData()->urls())
        if (url.isLocalFile())
            paths << url.toLocalFile();
    if (paths.isEmpty())
        return;
    event->acceptProposedAction();
    // Uploads after the drop has returned to the drag source.
    QMetaObject::invokeMethod(
        this, [this, paths] { upload(paths); }, Qt::QueuedConnection);
}

}  // namespace quorvale::ui
