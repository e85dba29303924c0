#include "app/browser/file_browser_view_model.h"

#include <qcoro/qcorofuture.h>
#include <QPointer>
#include <QtConcurrent/QtConcurrentRun>

#include "app/browser/audit_log.h"
#include "app/core/app_log.h"
#include "fileops/file_operation_service.h"
#include "guest/vm_error.h"
#include "guest/vsock_error.h"

namespace quorvale::app {

using fileops::lcFileOps;
using model::FileItem;

FileBrowserViewModel::FileBrowserViewModel(QObject* parent)
    : QObject(parent), pathComponents_(breadcrumb(QStringLiteral("/"))) {}

FileBrowserViewModel::~FileBrowserViewModel() {
    cancelTransfer();
}

void FileBrowserViewModel::connectService(std::shared_ptr<fileops::FileOperationService> service,
                                          QString partition, QString disk) {
    QPointer<FileBrowserViewModel> self(this);
    service->recordChanges([self, disk](const fileops::Change& change) {
        // A write allowed to replace, or over an entry of the listing, replaces it.
        bool replaces = change.replaces;
        if (change.kind == fileops::Change::Kind::written && self)
            for (const FileItem& item : std::as_const(self->allFiles_))
                replaces = replaces || item.path == change.path;
        recordChange(auditAction(change.kind, replaces), change, disk);
        if (self && self->changeObserver)
            self->changeObserver(change);
    });
    service->recordDone([self](const fileops::Change& change) {
        if (self && self->changeDoneObserver)
            self->changeDoneObserver(change);
    });
    fileOpService = std::move(service);
    currentPartition = std::move(partition);
}

QCoro::Task<void> FileBrowserViewModel::loadDirectory() {
    if (!fileOpService) {
        setError(QStringLiteral("Not connected to VM"));
        co_return;
    }
    setIsLoading(true);
    setError(std::nullopt);
    QPointer<FileBrowserViewModel> self(this);
    const auto service = fileOpService;
    std::optional<QList<FileItem>> listing;
    bool disconnected = false;  // the guest, or the card under it, went
    QString failure;
    try {
        QList<FileItem> items = co_await service->listDirectory(currentPath_, currentPartition);
        listing = std::move(items);
    } catch (const guest::VsockError& error) {
        if (error.kind == guest::VsockError::Kind::invalidResponse)
            failure = QString::fromUtf8(error.what());
        else
            disconnected = true;
    } catch (const guest::VMError& error) {
        if (error.kind == guest::VMError::Kind::diskRemoved)
            disconnected = true;
        else
            failure = QString::fromUtf8(error.what());
    } catch (const std::exception& error) {
        failure = QString::fromUtf8(error.what());
    }
    if (!self)
        co_return;
    if (listing) {
        allFiles_ = std::move(*listing);
        co_await filterAndSortAsync();
        if (!self)
            co_return;
        qCInfo(lcFileOps, "Loaded %ld items from %s", static_cast<long>(allFiles_.size()),
               qUtf8Printable(currentPath_));
        if (showsSearchResults())
            searchSubfolders();  // the results may have changed with the listing
    } else if (disconnected) {
        allFiles_.clear();
        applyFilterAndSort();
        // A disk image cannot be reinserted; it is opened again.
        const bool image = currentPartition && currentPartition->startsWith(QLatin1String("image"));
        setError(image ? QStringLiteral("Disk disconnected. Please open the disk image again.")
                       : QStringLiteral("Disk disconnected. Please reinsert the SD card."));
        qCCritical(lcFileOps, "Disk disconnected during loadDirectory");
    } else {
        setError(failure);
        qCCritical(lcFileOps, "Failed to load directory: %s", qUtf8Printable(failure));
    }
    setIsLoading(false);
}

QCoro::Task<void> FileBrowserViewModel::navigateTo(QString path) {
    if (path != currentPath_) {
        history.visit(currentPath_);
        Q_EMIT historyChanged();
    }
    co_await showDirectory(std::move(path));
}

QCoro::Task<void> FileBrowserViewModel::showDirectory(QString path) {
    setCurrentPath(path);
    pathComponents_ = breadcrumb(path);
    Q_EMIT pathComponentsChanged();
    setSelectedFiles({});
    co_await loadDirectory();
}

QCoro::Task<void> FileBrowserViewModel::navigateUp() {
    if (currentPath_ == QLatin1String("/"))
        co_return;
    const QString parent = parentPath(currentPath_);
    co_await navigateTo(parent);
}

void FileBrowserViewModel::applyFilterAndSort() {
    filterAndSortAsync();
}

QCoro::Task<void> FileBrowserViewModel::filterAndSortAsync() {
    const std::uint64_t generation = ++sortGeneration;
    const QList<FileItem>& shown = showsSearchResults() ? searchResults_ : allFiles_;
    if (shown.size() <= inlineSortLimit) {
        setFiles(filterAndSort(shown, searchQuery_, sortOrder_, sortAscending_));
        co_return;
    }
    QPointer<FileBrowserViewModel> self(this);
    QFuture<QList<FileItem>> sorting =
        QtConcurrent::run(filterAndSort, shown, searchQuery_, sortOrder_, sortAscending_);
    QList<FileItem> sorted = co_await sorting;
    // A newer request (or a newer listing) wins.
    if (self && generation == sortGeneration)
        setFiles(std::move(sorted));
}

void FileBrowserViewModel::selectAll() {
    QSet<QString> ids;
    ids.reserve(files_.size());
    for (const FileItem& item : files_)
        ids.insert(item.id);
    setSelectedFiles(ids);
}

QList<FileItem> FileBrowserViewModel::selectedItems() const {
    QList<FileItem> items;
    for (const FileItem& item : files_) {
        if (selectedFiles_.contains(item.id))
            items.append(item);
    }
    return items;
}

QCoro::Task<void> FileBrowserViewModel::deleteSelected() {
    if (!fileOpService)
        co_return;
    const QStringList paths(selectedFiles_.begin(), selectedFiles_.end());
    if (paths.isEmpty())
        co_return;
    setIsLoading(true);
    QPointer<FileBrowserViewModel> self(this);
    const auto service = fileOpService;
    try {
        co_await service->deletePaths(paths, currentPartition);
    } catch (...) {
        if (self)
            setIsLoading(false);
        throw;
    }
    if (!self)
        co_return;
    setSelectedFiles({});
    co_await loadDirectory();
}

QCoro::Task<void> FileBrowserViewModel::duplicate(FileItem item) {
    if (!fileOpService)
        co_return;
    QPointer<FileBrowserViewModel> self(this);
    const auto service = fileOpService;
    const QString destination = duplicatePath(item.path, item.name);
    co_await service->copy(item.path, destination, currentPartition);
    if (self)
        co_await loadDirectory();
}

QCoro::Task<void> FileBrowserViewModel::createFolder(QString name) {
    if (!fileOpService)
        co_return;
    QPointer<FileBrowserViewModel> self(this);
    const auto service = fileOpService;
    const QString path = childPath(currentPath_, name);
    co_await service->createDirectory(path, currentPartition);
    if (self)
        co_await loadDirectory();
}

void FileBrowserViewModel::setFiles(QList<FileItem> value) {
    files_ = std::move(value);
    Q_EMIT filesChanged();
    setSelectedFiles(visibleSelection(files_, selectedFiles_));
}

void FileBrowserViewModel::setCurrentPath(const QString& value) {
    if (currentPath_ == value)
        return;
    currentPath_ = value;
    Q_EMIT currentPathChanged();
}

void FileBrowserViewModel::setIsLoading(bool value) {
    if (isLoading_ == value)
        return;
    isLoading_ = value;
    Q_EMIT isLoadingChanged();
}

void FileBrowserViewModel::guestLost(const QString& reason) {
    clearListing();
    setError(reason);
}

void FileBrowserViewModel::setError(const std::optional<QString>& value) {
    if (error_ == value)
        return;
    error_ = value;
    Q_EMIT errorChanged();
}

void FileBrowserViewModel::setSearchQuery(const QString& value) {
    if (searchQuery_ == value)
        return;
    searchQuery_ = value;
    Q_EMIT searchQueryChanged();
}

void FileBrowserViewModel::setSelectedFiles(const QSet<QString>& value) {
    if (selectedFiles_ == value)
        return;
    selectedFiles_ = value;
    Q_EMIT selectedFilesChanged();
}

void FileBrowserViewModel::setSortOrder(SortOrder value) {
    if (sortOrder_ == value)
        return;
    sortOrder_ = value;
    Q_EMIT sortOrderChanged();
}

void FileBrowserViewModel::setSortAscending(bool value) {
    if (sortAscending_ == value)
        return;
    sortAscending_ = value;
    Q_EMIT sortAscendingChanged();
}

}  // namespace quorvale::app
