#include "ui/browser/file_browser_view.h"

#include <QAction>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QSplitter>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "app/preview/thumbnail_cache.h"
#include "fileops/file_operation_service.h"
#include "guest/vsock_transport.h"
#include "ui/browser/breadcrumb_bar.h"
#include "ui/browser/completion_notice.h"
#include "ui/browser/direct_save.h"
#include "ui/browser/file_item_model.h"
#include "ui/browser/file_list_view.h"
#include "ui/browser/search_bar.h"
#include "ui/browser/selection_action_bar.h"
#include "ui/browser/state_page.h"
#include "ui/browser/transfer_progress.h"
#include "ui/common/icons.h"
#include "ui/common/loading_overlay.h"
#include "ui/common/theme.h"
#include "ui/preview/file_preview_panel.h"
#include "ui/sheets/conflict_sheet.h"

namespace quorvale::ui {

FileBrowserView::FileBrowserView(app::AppState& appState, guest::VsockTransport& transport,
                                 QWidget* parent)
    : QWidget(parent), appState(appState), transport(transport) {
    browserVM = new app::FileBrowserViewModel(this);
    previewVM = new app::FilePreviewViewModel(this);
    previewVM->fileBrowserVM = browserVM;
    browserVM->conflictQuestion = [this](fileops::Conflict conflict) {
        return ConflictSheet::ask(this, std::move(conflict));
    };
    items = new FileItemModel(browserVM, this);
    thumbnails = new app::ThumbnailCache(this);
    items->setThumbnails(thumbnails);
    setAcceptDrops(true);
    removeEarlierOpenedFiles();
    createActions();
    buildLayout();
    connectModels();
    followSortChoice();

    QPointer<FileBrowserView> self(this);
    appState.onConfirmDelete = [self] {
        if (!self)
            return;
        const auto alert = self->appState.activeAlert();
        if (alert && alert->kind == app::AppAlert::Kind::deleteConfirmation) {
            QSet<QString> ids;
            for (const model::FileItem& item : alert->files)
                ids.insert(item.id);
            self->browserVM->setSelectedFiles(ids);
        }
        // A failed delete is shown by the listing's error, not as an alert.
        self->browserVM->deleteSelected();
    };
    if (const auto partition = appState.selectedPartition())
        shownPartition = partition->id;
    connect(&appState, &app::AppState::selectedPartitionChanged, this, [this] {
        const auto partition = this->appState.selectedPartition();
        const std::optional<QString> id =
            partition ? std::optional<QString>(partition->id) : std::nullopt;
        // The same partition with new details (mounted, relabelled) keeps its folder.
        if (id == shownPartition)
            return;
        shownPartition = id;
        browserVM->reset();
        previewVM->clear();
        connectPartition(true);
    });
    connect(&appState, &app::AppState::vmStatusChanged, this, [this] {
        // A guest that went away leaves nothing of its listing on screen, only why when it
        // failed; when it is back the browser shows the same folder again.
        const guest::VMStatus status = this->appState.vmStatus();
        if (status.state != guest::VMStatus::State::running) {
            if (status.isError())
                browserVM->guestLost(status.description);
            else
                browserVM->clearListing();
            previewVM->clear();
        } else if (this->appState.selectedPartition())
            connectPartition(false);
    });
    connectPartition(false);
}

FileBrowserView::~FileBrowserView() {
    appState.onConfirmDelete = nullptr;
}

QCoro::Task<void> FileBrowserView::connectPartition(bool navigateToRoot) {
    const auto partition = appState.selectedPartition();
    // While the VM boots there is nobody to ask; its "running" status brings us back here.
    if (!partition || !partition->isEXT4() || !transport.isConnected())
        co_return;
    QString disk;
    for (const model::Device& device : appState.devices())
        for (const model::Partition& candidate : device.partitions)
            if (candidate.id == partition->id)
                disk = device.name;
    auto service = std::make_shared<fileops::FileOperationService>(transport);
    service->checkDisksWith(appState.checkDisks);
    browserVM->connectService(std::move(service), partition->bsdName, disk);
    // Pictures belong to one mount.
    thumbnails->reset(browserVM->fileOpService, partition->bsdName);
    followRefusal();
    if (navigateToRoot)
        co_await browserVM->navigateTo(QStringLiteral("/"));
    else
        co_await browserVM->loadDirectory();
}

void FileBrowserView::buildLayout() {
    auto* outer = new QHBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    split = new QSplitter(Qt::Horizontal);
    split->setChildrenCollapsible(false);
    outer->addWidget(split);

    auto* browser = new QWidget;
    auto* column = new QVBoxLayout(browser);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    crumbs = new BreadcrumbBar;
    navigation = new QWidget;
    auto* navigationRow = new QHBoxLayout(navigation);
    navigationRow->setContentsMargins(0, 0, 0, 0);
    navigationRow->setSpacing(0);
    navigationRow->addWidget(makeNavigationButtons());
    navigationRow->addWidget(crumbs, 1);
    column->addWidget(navigation);
    divider = new QFrame;
    divider->setFrameShape(QFrame::HLine);
    divider->setFixedHeight(1);
    divider->setStyleSheet(QStringLiteral("background: %1; border: none;")
                               .arg(theme::divider().name(QColor::HexArgb)));
    column->addWidget(divider);
    search = new SearchBar;
    column->addWidget(search);

    contentStack = new QStackedWidget;
    loading = new LoadingOverlay;
    statePage = new StatePage;
    gridView = new FileGridView;
    gridView->setModel(items);
    gridView->setModelColumn(FileItemModel::name);
    listView = new FileListView;
    listView->setModel(items);
    const std::pair<int, int> widths[] = {{200, 300}, {60, 80},  {120, 160},
                                          {90, 100},  {80, 100}, {120, 240}};
    for (int section = 0; section < FileItemModel::columnCount_; ++section)
        listView->setColumnWidth(section, widths[section].second - 10);
    listView->horizontalHeader()->setMinimumSectionSize(60);
    listView->setColumnHidden(FileItemModel::folder, true);
    for (QWidget* page : {static_cast<QWidget*>(loading), static_cast<QWidget*>(statePage),
                          static_cast<QWidget*>(gridView), static_cast<QWidget*>(listView)})
        contentStack->addWidget(page);
    column->addWidget(contentStack, 1);

    actionBar = new SelectionActionBar;
    actionBar->hide();
    column->addWidget(actionBar);
    transfer = new TransferProgress;
    transfer->hide();
    column->addWidget(transfer);
    doneNotice = new CompletionNotice;
    column->addWidget(doneNotice);

    status = new QWidget;
    auto* statusRow = new QHBoxLayout(status);
    statusRow->setContentsMargins(12, 4, 12, 4);
    statusCount = theme::styledLabel(QString(), theme::caption(), theme::textSecondary());
    statusErrorIcon = new QLabel;
    statusErrorIcon->setPixmap(
        icons::tintedPixmap(QStringLiteral("exclamationmark.triangle.fill"), 12, theme::warning()));
    statusError = theme::styledLabel(QString(), theme::caption(), theme::warning());
    statusRow->addWidget(statusCount);
    statusRow->addStretch(1);
    statusRow->addWidget(statusErrorIcon);
    statusRow->addWidget(statusError);
    column->addWidget(status);

    split->addWidget(browser);
    preview = new FilePreviewPanel(previewVM);
    split->addWidget(preview);
    split->setStretchFactor(0, 1);
    split->setStretchFactor(1, 0);
    split->setSizes({700, 280});
    preview->setVisible(appState.showPreviewPanel());
}

void FileBrowserView::connectModels() {
    connect(browserVM, &app::FileBrowserViewModel::pathComponentsChanged, this,
            [this] { crumbs->setComponents(browserVM->pathComponents()); });
    connect(crumbs, &BreadcrumbBar::navigate, this,
            [this](const QString& path) { browserVM->navigateTo(path); });
    connect(search, &SearchBar::textChanged, browserVM, &app::FileBrowserViewModel::setSearchQuery);
    for (auto signal : {&app::FileBrowserViewModel::searchQueryChanged,
                        &app::FileBrowserViewModel::sortOrderChanged,
                        &app::FileBrowserViewModel::sortAscendingChanged})
        connect(browserVM, signal, browserVM, &app::FileBrowserViewModel::applyFilterAndSort);
    connect(browserVM, &app::FileBrowserViewModel::searchQueryChanged, this,
            [this] { search->setText(browserVM->searchQuery()); });
    for (auto signal :
         {&app::FileBrowserViewModel::filesChanged, &app::FileBrowserViewModel::isLoadingChanged})
        connect(browserVM, signal, this, [this] {
            updateContent();
            updateStatus();
            updateSelectionBar();
        });
    for (auto signal :
         {&app::AppState::viewModeChanged, &app::AppState::vmStatusChanged,
          &app::AppState::isBootingVMChanged, &app::AppState::selectedPartitionChanged})
        connect(&appState, signal, this, &FileBrowserView::updateContent);
    // Retry asks the sidebar to mount the selected partition again, as the Full Disk Access
    // page's Continue does; the browser returns to the folder it showed.
    connect(statePage, &StatePage::buttonClicked, this,
            [this] { appState.setRetryMountAfterFDA(true); });
    for (auto signal :
         {&app::AppState::changesRefusedChanged, &app::AppState::selectedPartitionChanged})
        connect(&appState, signal, this, &FileBrowserView::followRefusal);
    connect(&appState, &app::AppState::showPreviewPanelChanged, this,
            [this] { preview->setVisible(appState.showPreviewPanel()); });
    connect(browserVM, &app::FileBrowserViewModel::selectedFilesChanged, this, [this] {
        updateStatus();
        updateSelectionBar();
        previewVM->follow(browserVM->files(), browserVM->selectedFiles());
    });
    connect(browserVM, &app::FileBrowserViewModel::filesChanged, this,
            [this] { previewVM->follow(browserVM->files(), browserVM->selectedFiles()); });
    connect(browserVM, &app::FileBrowserViewModel::errorChanged, this,
            &FileBrowserView::updateStatus);
    connect(browserVM, &app::FileBrowserViewModel::transferChanged, this,
            &FileBrowserView::updateTransfer);
    connect(transfer, &TransferProgress::cancelRequested, browserVM,
            &app::FileBrowserViewModel::cancelTransfer);

    for (auto* view :
         {static_cast<QAbstractItemView*>(gridView), static_cast<QAbstractItemView*>(listView)}) {
        view->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(view, &QWidget::customContextMenuRequested, this,
                [this, view](const QPoint& position) { showEntryMenu(view, position); });
    }
    connect(gridView, &FileGridView::entryClicked, this, &FileBrowserView::entryClicked);
    connect(listView, &FileListView::entryClicked, this, &FileBrowserView::entryClicked);
    connect(gridView, &FileGridView::entryOpened, this, &FileBrowserView::entryOpened);
    connect(listView, &FileListView::entryOpened, this, &FileBrowserView::entryOpened);
    connect(gridView, &FileGridView::openRequested, this, &FileBrowserView::openSelection);
    connect(listView, &FileListView::openRequested, this, &FileBrowserView::openSelection);
    connect(listView, &FileListView::sortRequested, this, &FileBrowserView::sortByColumn);
    connect(items, &FileItemModel::nameEdited, this,
            [this](const model::FileItem& item, const QString& typed) { rename(item, typed); });
    connect(&appState, &app::AppState::sortOrderChanged, this, &FileBrowserView::followSortChoice);
    connect(&appState, &app::AppState::sortAscendingChanged, this,
            &FileBrowserView::followSortChoice);
    const auto clearSelection = [this] { browserVM->setSelectedFiles({}); };
    connect(gridView, &FileGridView::backgroundClicked, this, clearSelection);
    connect(listView, &FileListView::backgroundClicked, this, clearSelection);
    connect(gridView, &FileGridView::dragRequested, this, [this] { dragOut(); });
    connect(listView, &FileListView::dragRequested, this, [this] { dragOut(); });

    connect(actionBar, &SelectionActionBar::toggleSelectAll, this,
            &FileBrowserView::toggleSelectAll);
    connect(actionBar, &SelectionActionBar::copyPath, this,
            [this] { copyPaths(browserVM->selectedItems()); });
    connect(actionBar, &SelectionActionBar::exportSelection, this,
            [this] { beginExport(browserVM->selectedItems()); });
    connect(actionBar, &SelectionActionBar::deleteSelection, this,
            [this] { requestDelete(browserVM->selectedItems()); });
    connect(actionBar, &SelectionActionBar::deselect, this, clearSelection);

    connectSearch();

    crumbs->setComponents(browserVM->pathComponents().isEmpty()
                              ? app::breadcrumb(browserVM->currentPath())
                              : browserVM->pathComponents());
    updateContent();
    updateStatus();
}

std::optional<app::BrowserNotice> FileBrowserView::notice() const {
    return app::browserNotice(appState.selectedPartition(), appState.vmStatus(),
                              appState.isBootingVM());
}

FileBrowserView::Content FileBrowserView::content() const {
    if (notice())
        return Content::notice;
    if (browserVM->isLoading())
        return Content::loading;
    if (browserVM->files().isEmpty() && browserVM->isSearching())
        return Content::searching;
    if (browserVM->files().isEmpty())
        return browserVM->searchQuery().isEmpty() ? Content::empty : Content::noResults;
    return appState.viewMode() == app::ViewMode::list ? Content::list : Content::grid;
}

QWidget* FileBrowserView::contentWidget() const {
    return contentStack->currentWidget();
}

QString FileBrowserView::emptyText() const {
    return statePage->messageText();
}

void FileBrowserView::updateContent() {
    // A notice stands alone: no folder, search, count or error line that belongs to no listing.
    const bool listing = content() != Content::notice;
    for (QWidget* part :
         {navigation, static_cast<QWidget*>(divider), static_cast<QWidget*>(search), status})
        part->setVisible(listing);
    updateNavigation();
    switch (content()) {
        case Content::notice: {
            const app::BrowserNotice shown = *notice();
            statePage->present(shown.symbol, shown.title, shown.message,
                               shown.offersRetry ? QStringLiteral("Retry") : QString());
            contentStack->setCurrentWidget(statePage);
            return;
        }
        case Content::loading:
            contentStack->setCurrentWidget(loading);
            return;
        case Content::searching:
            statePage->present(QStringLiteral("magnifyingglass"), QString(),
                               QStringLiteral("Searching all subfolders…"));
            contentStack->setCurrentWidget(statePage);
            return;
        case Content::noResults:
            statePage->present(
                QStringLiteral("magnifyingglass"), QString(),
                QStringLiteral("No results for \"%1\"").arg(browserVM->searchQuery()));
            contentStack->setCurrentWidget(statePage);
            return;
        case Content::empty:
            statePage->present(QStringLiteral("folder"), QString(),
                               QStringLiteral("This folder is empty"));
            contentStack->setCurrentWidget(statePage);
            return;
        case Content::grid:
            contentStack->setCurrentWidget(gridView);
            return;
        case Content::list:
            contentStack->setCurrentWidget(listView);
            return;
    }
}

QString FileBrowserView::statusText() const {
    QString text = statusCount->text();
    if (!statusError->isHidden() && !statusError->text().isEmpty())
        text += QStringLiteral(" — ") + statusError->text();
    return text;
}

void FileBrowserView::followRefusal() {
    const std::optional<QString> reason = appState.changesRefused();
    if (browserVM->fileOpService)
        browserVM->fileOpService->refuseChanges(reason);
    for (QAction* action :
         {newFolderAction, uploadAction, uploadFolderAction, deleteAction, renameAction, cutAction})
        action->setEnabled(!reason);
    updatePaste();
    updateStatus();
}

bool FileBrowserView::changesAllowed() const {
    return !appState.changesRefused();
}

void FileBrowserView::updateStatus() {
    const qsizetype count = browserVM->files().size();
    QString text = browserVM->showsSearchResults() ? searchCountText()
                   : count == 1                    ? QStringLiteral("1 item")
                                                   : QStringLiteral("%1 items").arg(count);
    const qsizetype selected = browserVM->selectedFiles().size();
    if (selected > 0)
        text += QStringLiteral("   %1 selected").arg(selected);
    const std::optional<QString> refused = appState.changesRefused();
    if (refused)
        text += QStringLiteral("   Read-only");
    statusCount->setText(text);
    statusCount->setToolTip(refused.value_or(QString()));
    const auto error = browserVM->error();
    statusErrorIcon->setVisible(error.has_value());
    statusError->setVisible(error.has_value());
    statusError->setText(error.value_or(QString()));
}

bool FileBrowserView::allVisibleSelected() const {
    const QSet<QString> selected = browserVM->selectedFiles();
    const QList<model::FileItem> files = browserVM->files();
    // Ids are unique: fewer selected than shown means some are not.
    if (files.isEmpty() || selected.size() < files.size())
        return false;
    for (const model::FileItem& item : files)
        if (!selected.contains(item.id))
            return false;
    return true;
}

void FileBrowserView::updateSelectionBar() {
    const qsizetype selected = browserVM->selectedFiles().size();
    actionBar->setVisible(selected > 0);
    actionBar->setCounts(selected, allVisibleSelected());
    actionBar->setExporting(isExporting);
}

void FileBrowserView::setExporting(bool value) {
    isExporting = value;
    actionBar->setExporting(value);
}

void FileBrowserView::updateTransfer() {
    const bool running = browserVM->isTransferring();
    if (running && transfer->isHidden()) {
        transfer->start(isUploading ? QStringLiteral("Uploading…") : QStringLiteral("Exporting…"));
        transfer->show();
    }
    if (!running) {
        transfer->hide();
        return;
    }
    transfer->setProgress(browserVM->transferBytesDone(), browserVM->transferBytesTotal(),
                          browserVM->transferCurrentFile());
}

}  // namespace quorvale::ui
