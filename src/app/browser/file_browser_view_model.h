#pragma once
// FileBrowserViewModel: the state behind the browser of one partition: the current directory
// and its breadcrumb, the listing (raw and filtered/sorted), the selection, the busy flag and the
// last error, plus the progress of a running export or upload. User actions become calls of the
// FileOperationService it is given, followed by a reload. Filtering and sorting of large
// listings run on a worker thread; a result superseded by a newer request is dropped. Changes
// are recorded in the audit log before they are sent. Export writes only plain names inside
// the chosen folder, each file completed beside its destination and moved over it (a symlink of
// that name is replaced, never followed). Lives on the GUI thread.

#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <qcoro/qcorotask.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>

#include "app/browser/browser_paths.h"
#include "app/browser/entry_placement.h"
#include "app/browser/file_sorting.h"
#include "app/browser/navigation_history.h"
#include "app/browser/selection_rules.h"
#include "app/browser/transfer_report.h"
#include "fileops/conflicts.h"
#include "fileops/file_operation_service.h"
#include "model/file_item.h"

namespace quorvale::fileops {
class FileOperationService;
struct TreeProgress;
}  // namespace quorvale::fileops

namespace quorvale::app {

class FileBrowserViewModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(QList<quorvale::model::FileItem> files READ files NOTIFY filesChanged)
    Q_PROPERTY(QString currentPath READ currentPath NOTIFY currentPathChanged)
    Q_PROPERTY(QList<quorvale::app::PathComponent> pathComponents READ pathComponents NOTIFY
                   pathComponentsChanged)
    Q_PROPERTY(bool isLoading READ isLoading NOTIFY isLoadingChanged)
    Q_PROPERTY(std::optional<QString> error READ error NOTIFY errorChanged)
    Q_PROPERTY(QString searchQuery READ searchQuery WRITE setSearchQuery NOTIFY searchQueryChanged)
    Q_PROPERTY(QSet<QString> selectedFiles READ selectedFiles WRITE setSelectedFiles NOTIFY
                   selectedFilesChanged)
    Q_PROPERTY(quorvale::app::SortOrder sortOrder READ sortOrder WRITE setSortOrder NOTIFY
                   sortOrderChanged)
    Q_PROPERTY(
        bool sortAscending READ sortAscending WRITE setSortAscending NOTIFY sortAscendingChanged)
    Q_PROPERTY(bool canGoBack READ canGoBack NOTIFY historyChanged)
    Q_PROPERTY(bool canGoForward READ canGoForward NOTIFY historyChanged)
    Q_PROPERTY(bool isTransferring READ isTransferring NOTIFY transferChanged)
    Q_PROPERTY(quint64 transferBytesDone READ transferBytesDone NOTIFY transferChanged)
    Q_PROPERTY(quint64 transferBytesTotal READ transferBytesTotal NOTIFY transferChanged)
    Q_PROPERTY(QString transferCurrentFile READ transferCurrentFile NOTIFY transferChanged)
    Q_PROPERTY(bool searchesSubfolders READ searchesSubfolders WRITE setSearchesSubfolders NOTIFY
                   searchStateChanged)
    Q_PROPERTY(bool isSearching READ isSearching NOTIFY searchStateChanged)

public:
    // Listings up to this size are filtered and sorted at once on the calling thread.
    static constexpr qsizetype inlineSortLimit = 2000;
    static constexpr std::uint64_t exportMaxBytes = 500000000;

    explicit FileBrowserViewModel(QObject* parent = nullptr);
    ~FileBrowserViewModel() override;

    QCoro::Task<void> loadDirectory();
    QCoro::Task<void> navigateTo(QString path);
    QCoro::Task<void> navigateUp();
    // One step through the folders visited; nothing when there is none that way.
    QCoro::Task<void> goBack();
    QCoro::Task<void> goForward();
    // Forgets the folders visited.
    void clearHistory();
    // Back to the state of a new browser: the root, nothing listed, selected or searched, no
    // error, no history (another partition).
    void reset();
    // Drops the listing and the selection, keeping the folder (the guest went away).
    void clearListing();
    bool canGoBack() const { return history.canGoBack(); }
    bool canGoForward() const { return history.canGoForward(); }
    // Recomputes `files`; large listings finish on a worker thread (filesChanged tells).
    void applyFilterAndSort();
    void selectAll();
    // A click or cursor move on the entry `id` (selection_rules.h). Entries hidden by the
    // search, or gone from a new listing, leave the selection by themselves.
    void selectEntry(const QString& id, SelectionGesture gesture);
    std::optional<QString> selectionAnchor() const { return anchor; }
    QList<model::FileItem> selectedItems() const;
    QCoro::Task<void> deleteSelected();
    // Copies `items` (files, and folders with everything in them) into `folder`, under their
    // readable names. A taken name goes to `conflictQuestion`; without one both are kept (a
    // second "a.txt" arrives as "a 2.txt"). Stops early when cancelled; the report says how far
    // it got and which local entries were written. With `name`, the one entry takes that name
    // in `folder` instead of its own.
    QCoro::Task<TransferReport> exportItems(QList<model::FileItem> items, QString folder,
                                            QString name = {});
    QCoro::Task<void> duplicate(model::FileItem item);
    QCoro::Task<void> createFolder(QString name);
    // Writes local files and folders into the current directory (taken names as for export),
    // then reloads.
    QCoro::Task<TransferReport> uploadFiles(QStringList localPaths);
    // Ctrl+X and Ctrl+C: the selected entries wait for a paste, tagged with their partition.
    void cutSelection();
    void copySelection();
    const std::optional<EntryClipboard>& clipboard() const { return clipboard_; }
    // Places the clipboard's entries into `folder`: a cut moves them (and is used up), a copy
    // duplicates them. Entries of another partition are copied, never moved.
    QCoro::Task<PlacementReport> paste(QString folder);
    // Moves or copies `items` of `fromPartition` into `folder` of this partition, then reloads.
    // A folder never goes into itself (PlacementRefused, before anything is sent). A taken name
    // goes to `conflictQuestion` (a copy into its own folder keeps both at once); a replacement
    // is whole under a free name before the old entry is deleted, and a folder is never
    // replaced.
    QCoro::Task<PlacementReport> placeItems(QList<model::FileItem> items, QString fromPartition,
                                            QString folder, Placement kind);
    // Stops the running export or upload after its current chunk.
    void cancelTransfer();
    // The guest is gone (the VM failed): the listing empties and `reason` is its error.
    void guestLost(const QString& reason);

    // Whether the search text looks through every folder below the current one (a search run
    // by the guest) instead of filtering the current listing.
    bool searchesSubfolders() const { return searchesSubfolders_; }
    void setSearchesSubfolders(bool value);
    // True while `files` holds subfolder search results rather than the listing.
    bool showsSearchResults() const { return searchesSubfolders_ && !searchQuery_.isEmpty(); }
    // Runs the subfolder search for the current text, replacing a running one; results reach
    // `files` (filtered and sorted like a listing) batch by batch. Without a text, or with the
    // search limited to the folder, it only stops a running search. Reloads run it again.
    QCoro::Task<void> searchSubfolders();
    void stopSearch();
    bool isSearching() const { return searchStop.has_value(); }
    // How the last subfolder search ended; nothing while one runs or none ran.
    std::optional<fileops::SearchOutcome> searchOutcome() const { return searchOutcome_; }
    static constexpr std::size_t maxSearchResults = 1000;

    // Browses `partition` through `service` from now on; every change made through the service
    // is audited, naming `disk` (the card or image file the partition is on).
    // Told of every change about to be sent through the connected service, after the audit
    // line; it may refuse the change by throwing (nothing is sent then).
    std::function<void(const fileops::Change& change)> changeObserver;
    // Told of every change the guest has done through the connected service (see
    // FileOperationService::recordDone).
    std::function<void(const fileops::Change& change)> changeDoneObserver;
    void connectService(std::shared_ptr<fileops::FileOperationService> service, QString partition,
                        QString disk);

    std::shared_ptr<fileops::FileOperationService> fileOpService;
    // Asked when a name is taken during an export or upload.
    fileops::ConflictQuestion conflictQuestion;
    std::optional<QString> currentPartition;

    QList<model::FileItem> files() const { return files_; }
    const QList<model::FileItem>& allFiles() const { return allFiles_; }
    QString currentPath() const { return currentPath_; }
    QList<PathComponent> pathComponents() const { return pathComponents_; }
    bool isLoading() const { return isLoading_; }
    std::optional<QString> error() const { return error_; }
    QString searchQuery() const { return searchQuery_; }
    void setSearchQuery(const QString& value);
    QSet<QString> selectedFiles() const { return selectedFiles_; }
    void setSelectedFiles(const QSet<QString>& value);
    SortOrder sortOrder() const { return sortOrder_; }
    void setSortOrder(SortOrder value);
    bool sortAscending() const { return sortAscending_; }
    void setSortAscending(bool value);
    bool isTransferring() const { return transferStop.has_value(); }
    quint64 transferBytesDone() const { return bytesDone; }
    quint64 transferBytesTotal() const { return bytesTotal; }
    QString transferCurrentFile() const { return currentFile; }

Q_SIGNALS:
    void filesChanged();
    void currentPathChanged();
    void pathComponentsChanged();
    void isLoadingChanged();
    void errorChanged();
    void searchQueryChanged();
    void selectedFilesChanged();
    void sortOrderChanged();
    void sortAscendingChanged();
    void transferChanged();
    void historyChanged();
    void clipboardChanged();
    void searchStateChanged();

private:
    QCoro::Task<void> filterAndSortAsync();
    // Where the batches of the search `generation` go (dropped once a newer one started).
    fileops::SearchResultsHandler searchResultsTo(std::uint64_t generation);
    // navigateTo() without remembering the folder left.
    QCoro::Task<void> showDirectory(QString path);
    void setFiles(QList<model::FileItem> value);
    void setCurrentPath(const QString& value);
    void setIsLoading(bool value);
    void setError(const std::optional<QString>& value);
    std::stop_token beginTransfer(std::uint64_t total);
    void setTransferProgress(std::uint64_t done, const QString& file);
    void setTreeProgress(const fileops::TreeProgress& progress);
    void endTransfer(const std::stop_token& stop);
    void setClipboard(bool cut);

    QList<model::FileItem> files_;
    QString currentPath_ = QStringLiteral("/");
    QList<PathComponent> pathComponents_;
    bool isLoading_ = false;
    std::optional<QString> error_;
    QString searchQuery_;
    QSet<QString> selectedFiles_;
    SortOrder sortOrder_ = SortOrder::name;
    bool sortAscending_ = true;
    QList<model::FileItem> allFiles_;
    std::uint64_t sortGeneration = 0;
    NavigationHistory history;
    std::optional<QString> anchor;
    std::optional<std::stop_source> transferStop;
    bool searchesSubfolders_ = false;
    QList<model::FileItem> searchResults_;
    std::optional<std::stop_source> searchStop;
    std::optional<fileops::SearchOutcome> searchOutcome_;
    std::uint64_t searchGeneration = 0;
    std::uint64_t bytesDone = 0;
    std::uint64_t bytesTotal = 0;
    QString currentFile;
    std::optional<EntryClipboard> clipboard_;
};

}  // namespace quorvale::app
