// Cut, copy and paste of entries within the card, and drags onto a folder: a move is one
// guest-side rename, a copy is made inside the guest.

#include <QPointer>

#include "app/browser/file_browser_view_model.h"
#include "app/core/app_log.h"
#include "fileops/file_operation_service.h"
#include "fileops/guest_copy.h"

namespace quorvale::app {

using model::FileItem;

void FileBrowserViewModel::cutSelection() {
    setClipboard(true);
}

void FileBrowserViewModel::copySelection() {
    setClipboard(false);
}

void FileBrowserViewModel::setClipboard(bool cut) {
    const QList<FileItem> items = selectedItems();
    if (items.isEmpty() || !currentPartition)
        return;
    clipboard_ = EntryClipboard{cut, *currentPartition, items};
    Q_EMIT clipboardChanged();
}

QCoro::Task<PlacementReport> FileBrowserViewModel::paste(QString folder) {
    if (!clipboard_)
        co_return PlacementReport{};
    const EntryClipboard clip = *clipboard_;
    QPointer<FileBrowserViewModel> self(this);
    const PlacementReport report = co_await placeItems(
        clip.items, clip.partition, folder, clip.cut ? Placement::move : Placement::copy);
    // A cut is used up once its entries have moved; a copy may be pasted again.
    if (self && clip.cut && !report.originalsKept && clipboard_ &&
        clipboard_->partition == clip.partition && clipboard_->items == clip.items) {
        clipboard_.reset();
        Q_EMIT clipboardChanged();
    }
    co_return report;
}

QCoro::Task<PlacementReport> FileBrowserViewModel::placeItems(QList<FileItem> items,
                                                              QString fromPartition, QString folder,
                                                              Placement kind) {
    if (!fileOpService || !currentPartition)
        throw fileops::FileOperationError::invalidData();
    const QString partition = *currentPartition;
    PlacementReport report;
    report.kind = kind;
    report.folder = folder;
    if (fromPartition != partition && kind == Placement::move) {
        kind = Placement::copy;
        report.kind = kind;
        report.originalsKept = true;
    }
    if (fromPartition == partition) {
        if (const auto refusal = placementRefusal(items, folder, kind))
            throw PlacementRefused(refusal->toStdString());
    }
    QPointer<FileBrowserViewModel> self(this);
    const auto service = fileOpService;
    fileops::ConflictPolicy policy =
        conflictQuestion ? fileops::ConflictPolicy::asking(conflictQuestion)
                         : fileops::ConflictPolicy::always(fileops::ConflictAction::keepBoth);
    const QList<FileItem> present = co_await service->listDirectory(folder, partition);
    QStringList taken;
    QSet<QString> folders;
    for (const FileItem& item : present) {
        taken << item.name;
        if (item.isDirectory && !item.isSymlink)
            folders.insert(item.name);
    }
    std::exception_ptr failure;
    try {
        for (const FileItem& item : items) {
            const bool samePlace = fromPartition == partition && parentPath(item.path) == folder;
            // Nothing to do for an entry moved into the folder it is in.
            if (kind == Placement::move && samePlace)
                continue;
            QString target = childPath(folder, item.name);
            bool replacing = false;
            if (taken.contains(item.name)) {
                // A copy into its own folder is a duplicate beside it.
                fileops::ConflictAction action = fileops::ConflictAction::keepBoth;
                if (!samePlace) {
                    fileops::Conflict conflict{item.name, folder, folders.contains(item.name),
                                               item.isDirectory && !item.isSymlink};
                    action = co_await policy.decide(std::move(conflict));
                }
                if (action == fileops::ConflictAction::skip ||
                    (action == fileops::ConflictAction::replace && folders.contains(item.name))) {
                    if (action == fileops::ConflictAction::replace)
                        report.notes << QStringLiteral("Not replaced: the folder %1").arg(target);
                    ++report.skipped;
                    continue;
                }
                // Kept both, or placed beside the old entry until that one is gone.
                replacing = action == fileops::ConflictAction::replace;
                target = childPath(
                    folder,
                    fileops::keepBothName(item.name, taken, item.isDirectory && !item.isSymlink));
            }
            if (kind == Placement::move) {
                target = co_await service->move(item.path, target, partition);
            } else {
                co_await fileops::copyInGuest(*service, item, fromPartition, target, partition);
            }
            if (replacing) {
                // The new entry is whole under its interim name before the old one goes.
                const QString final = childPath(folder, item.name);
                QStringList old{final};
                co_await service->deletePaths(old, partition);
                target = co_await service->move(target, final, partition);
            } else {
                taken << target.section(QLatin1Char('/'), -1);
            }
            ++report.placed;
            report.paths << target;
            qCInfo(fileops::lcFileOps, "%s %s to %s", kind == Placement::move ? "Moved" : "Copied",
                   qUtf8Printable(item.path), qUtf8Printable(target));
        }
    } catch (...) {
        failure = std::current_exception();
    }
    if (!self)
        co_return report;
    // What was placed before a failure is shown too.
    co_await loadDirectory();
    if (failure)
        std::rethrow_exception(failure);
    if (self && folder == currentPath_) {
        QSet<QString> placed(report.paths.begin(), report.paths.end());
        setSelectedFiles(placed);
    }
    co_return report;
}

}  // namespace quorvale::app
