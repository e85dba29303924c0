#pragma once
// FileBrowserView: the detail column while a partition is selected. It owns one
// FileBrowserViewModel and one FilePreviewViewModel and turns every gesture into one of their
// operations: the breadcrumb bar, the search field, the content (loading, empty, no results,
// grid or list over one FileItemModel), the selection bar, the transfer strip, the status line,
// the preview panel, the context menus and shortcuts, rename, export, upload (dialog or
// dropped file URLs), drags out to the desktop and the delete request. A failed action becomes
// an error alert on AppState ("Rename failed: ..."). GUI thread only.

#include <QPointer>
#include <QTemporaryDir>
#include <QUrl>
#include <QWidget>

#include <qcoro/qcorotask.h>

#include <memory>
#include <optional>

#include "app/browser/browser_notice.h"
#include "app/browser/desktop_applications.h"
#include "app/browser/file_browser_view_model.h"
#include "app/browser/selection_rules.h"
#include "app/core/app_state.h"
#include "app/preview/file_preview_view_model.h"

class QAbstractItemView;
class QAction;
class QFrame;
class QLabel;
class QMenu;
class QMimeData;
class QSplitter;
class QStackedWidget;
class QTimer;

namespace quorvale::guest {
class VsockTransport;
}
namespace quorvale::app {
class ThumbnailCache;
}

namespace quorvale::ui {

class BreadcrumbBar;
class CompletionNotice;
class DirectSave;
class FileGridView;
class FileItemModel;
class FileListView;
class FilePreviewPanel;
class LoadingOverlay;
class SearchBar;
class SelectionActionBar;
class StatePage;
class TransferProgress;

class FileBrowserView : public QWidget {
    Q_OBJECT
public:
    // The content shown below the search field.
    enum class Content { notice, loading, searching, noResults, empty, grid, list };

    FileBrowserView(app::AppState& appState, guest::VsockTransport& transport,
                    QWidget* parent = nullptr);
    ~FileBrowserView() override;

    // The text of the export dialog for `count` entries: "Choose a folder to export 2 files to".
    static QString exportMessage(qsizetype count);
    static inline const QString newFolderName = QStringLiteral("untitled folder");

    app::FileBrowserViewModel* viewModel() const { return browserVM; }
    app::FilePreviewViewModel* previewViewModel() const { return previewVM; }
    FileItemModel* itemModel() const { return items; }
    app::ThumbnailCache* thumbnailCache() const { return thumbnails; }
    Content content() const;
    // Why nothing is listed (a partition that cannot be opened, a stopped VM), if so.
    std::optional<app::BrowserNotice> notice() const;
    StatePage* statePageWidget() const { return statePage; }
    FileGridView* grid() const { return gridView; }
    FileListView* list() const { return listView; }
    SearchBar* searchBar() const { return search; }
    BreadcrumbBar* breadcrumbs() const { return crumbs; }
    SelectionActionBar* selectionBar() const { return actionBar; }
    TransferProgress* transferProgress() const { return transfer; }
    CompletionNotice* completionNotice() const { return doneNotice; }
    FilePreviewPanel* previewPanel() const { return preview; }
    QWidget* contentWidget() const;
    QString statusText() const;
    QWidget* statusLine() const { return status; }
    QString emptyText() const;

    // The browser's context menu and an entry's, built for the current state (shown by
    // popup(); built here so that shortcuts and tests see the same items).
    QMenu* browserMenu();
    QMenu* entryMenu(const model::FileItem& item);

    // The actions, as the menus and shortcuts run them.
    void requestDelete(const QList<model::FileItem>& items);
    void beginRename(const model::FileItem& item);
    QCoro::Task<void> rename(model::FileItem item, QString typed);
    void beginExport(const QList<model::FileItem>& items);
    void beginUpload();
    QCoro::Task<void> upload(QStringList paths);
    QCoro::Task<void> exportTo(QList<model::FileItem> items, QString folder);
    // Creates "untitled folder" (or the first free "untitled folder N"), selects it and opens
    // its name for typing; what is typed renames it.
    QCoro::Task<void> newFolder();
    // Opens the name of the entry `id` for typing in the current view.
    void editName(const QString& id);
    QCoro::Task<void> duplicate(model::FileItem item);
    void copyPaths(const QList<model::FileItem>& items);
    void toggleSelectAll();
    // What a drag out of the browser hands to other applications: the selected files and
    // folders (not links), exported to a private folder that lasts until the next drag, as file
    // URLs. Nothing when there is nothing to drag or the export failed (the failure is shown).
    QCoro::Task<std::optional<QList<QUrl>>> exportSelectionForDrag();
    QCoro::Task<std::optional<QList<QUrl>>> exportForDrag(QList<model::FileItem> items);
    // Exports the one entry dragged to a file manager as `name` in `folder` (direct_save.h);
    // true when it was written (a taken name is asked about as for any export).
    QCoro::Task<bool> exportForDirectSave(model::FileItem item, QString folder, QString name);
    // The data a drag of `items` carries (entry_drag.h).
    QMimeData* dragData(const QList<model::FileItem>& items);
    // The folder a drop at `position` (in this widget) goes into: a folder entry under it, a
    // crumb of the breadcrumb, or the folder shown; nothing outside the listing.
    std::optional<QString> dropFolderAt(const QPoint& position) const;

    // Ctrl+X, Ctrl+C and Ctrl+V: the selection waits for a paste into the folder shown (or
    // the folder entry a menu was opened on).
    void cutSelection();
    void copySelection();
    QCoro::Task<void> paste(QString folder);
    // Moves or copies entries into `folder` (a drop or a paste); a refusal or failure is shown.
    QCoro::Task<void> place(QList<model::FileItem> items, QString fromPartition, QString folder,
                            app::Placement kind);
    // Upload Folder…: a folder of this computer, copied whole into the folder shown.
    void beginFolderUpload();
    // Cut, Copy, Paste, Upload Files… and Upload Folder…, for the window's Edit menu.
    QList<QAction*> editActions() const;
    // Loads the listing of the selected partition through a new service (on appearance).
    QCoro::Task<void> connectPartition(bool navigateToRoot);
    // Opens the one selected entry (Enter): a folder is shown, a file opened (openFile).
    void openSelection();
    void openItem(const model::FileItem& item);
    // Shows the folder of a search result with the entry selected, ending the search.
    QCoro::Task<void> showInFolder(model::FileItem item);
    // Exports the file into a private folder under the user's cache and asks the desktop to
    // open it with its default application; false when it was not opened (the reason is shown).
    QCoro::Task<bool> openFile(model::FileItem item);
    // Asks which application opens the file (Open With…), then opens it with that one.
    void beginOpenWith(const model::FileItem& item);
    QCoro::Task<bool> openFileWith(model::FileItem item, app::DesktopApplication application);
    // Where opened files are exported.
    static QString openedFilesFolder();

    QAction* backCommand() const { return backAction; }
    QAction* forwardCommand() const { return forwardAction; }
    QAction* upCommand() const { return goUpAction; }

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void buildLayout();
    void createActions();
    void connectModels();
    void connectSearch();
    // "3 results in all subfolders", and whether the search goes on or was cut short.
    QString searchCountText() const;
    void updateContent();
    void updateStatus();
    // Refuses changes to a damaged disk: in the file service, the actions and the menus.
    void followRefusal();
    bool changesAllowed() const;
    void updateSelectionBar();
    void updateTransfer();
    void entryClicked(const QModelIndex& index, app::SelectionGesture gesture);
    void entryOpened(const QModelIndex& index);
    void showEntryMenu(QAbstractItemView* view, const QPoint& position);
    void showFailure(const QString& prefix, const std::exception& error);
    bool allVisibleSelected() const;
    void dragOut();
    // Awaits a move or copy and shows how it ended: a notice, or the refusal or failure.
    QCoro::Task<void> showPlacement(QCoro::Task<app::PlacementReport> placing, app::Placement kind);
    void updatePaste();
    void setExporting(bool value);
    QWidget* makeNavigationButtons();
    void updateNavigation();
    void sortByColumn(int column);
    void updateSortIndicator();
    void followSortChoice();
    static void removeEarlierOpenedFiles();
    // The file exported into a private folder of its own for an application to open; nothing
    // when it was not (the reason is shown).
    QCoro::Task<std::optional<QString>> exportForOpening(model::FileItem item);

    app::AppState& appState;
    guest::VsockTransport& transport;
    app::FileBrowserViewModel* browserVM;
    app::FilePreviewViewModel* previewVM;
    FileItemModel* items;
    app::ThumbnailCache* thumbnails;
    QSplitter* split;
    QWidget* navigation;
    BreadcrumbBar* crumbs;
    QFrame* divider;
    SearchBar* search;
    QStackedWidget* contentStack;
    LoadingOverlay* loading;
    StatePage* statePage;
    FileGridView* gridView;
    FileListView* listView;
    SelectionActionBar* actionBar;
    TransferProgress* transfer;
    CompletionNotice* doneNotice;
    QWidget* status;
    QLabel* statusCount;
    QLabel* statusErrorIcon;
    QLabel* statusError;
    FilePreviewPanel* preview;
    QAction* goUpAction;
    QAction* backAction;
    QAction* forwardAction;
    QAction* renameAction;
    QAction* findAction;
    QAction* escapeAction;
    QAction* newFolderAction;
    QAction* uploadAction;
    QAction* selectAllAction;
    QAction* refreshAction;
    QAction* deleteAction;
    QAction* cutAction;
    QAction* copyAction;
    QAction* pasteAction;
    QAction* uploadFolderAction;
    QTimer* searchDelay;
    bool isExporting = false;
    bool isUploading = false;
    std::unique_ptr<QTemporaryDir> dragFolder;
    std::unique_ptr<DirectSave> directSave;  // the offer of the last drag out
    std::optional<QString> shownPartition;   // id of the partition the browser shows
};

}  // namespace quorvale::ui
