// FileBrowserView's shortcuts, navigation buttons and selection gestures: Back, Forward and Up
// (buttons, Alt+Left, Alt+Right, Backspace, Alt+Up, Ctrl+Up), F2, Ctrl+F, Escape, Delete and
// the commands of the context menus (Cut, Copy and Paste among them); clicks and arrow keys on
// entries; Enter and double clicks.

#include <QAction>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QToolButton>

#include "ui/browser/file_browser_view.h"
#include "ui/browser/file_item_model.h"
#include "ui/browser/file_list_view.h"
#include "ui/browser/search_bar.h"
#include "ui/common/icons.h"
#include "ui/common/theme.h"

namespace quorvale::ui {

void FileBrowserView::createActions() {
    const auto add = [this](const QString& text, QList<QKeySequence> shortcuts, auto slot) {
        auto* action = new QAction(text, this);
        action->setShortcuts(shortcuts);
        action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        connect(action, &QAction::triggered, this, slot);
        addAction(action);
        return action;
    };
    goUpAction = add(QStringLiteral("Go Up"),
                     {QKeySequence(Qt::CTRL | Qt::Key_Up), QKeySequence(Qt::ALT | Qt::Key_Up),
                      QKeySequence(Qt::Key_Backspace)},
                     [this] { browserVM->navigateUp(); });
    backAction = add(QStringLiteral("Back"), {QKeySequence(Qt::ALT | Qt::Key_Left)},
                     [this] { browserVM->goBack(); });
    forwardAction = add(QStringLiteral("Forward"), {QKeySequence(Qt::ALT | Qt::Key_Right)},
                        [this] { browserVM->goForward(); });
    newFolderAction =
        add(QStringLiteral("New Folder"), {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_N)},
            [this] { newFolder(); });
    uploadAction = add(QStringLiteral("Upload Files…"),
                       {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_U)}, [this] { beginUpload(); });
    uploadFolderAction = add(QStringLiteral("Upload Folder…"), {}, [this] { beginFolderUpload(); });
    cutAction = add(QStringLiteral("Cut"), {QKeySequence::Cut}, [this] { cutSelection(); });
    copyAction = add(QStringLiteral("Copy"), {QKeySequence::Copy}, [this] { copySelection(); });
    pasteAction = add(QStringLiteral("Paste"), {QKeySequence::Paste},
                      [this] { paste(browserVM->currentPath()); });
    connect(browserVM, &app::FileBrowserViewModel::clipboardChanged, this,
            &FileBrowserView::updatePaste);
    updatePaste();
    selectAllAction = add(QStringLiteral("Select All"), {QKeySequence(Qt::CTRL | Qt::Key_A)},
                          [this] { toggleSelectAll(); });
    refreshAction = add(QStringLiteral("Refresh"), {QKeySequence(Qt::CTRL | Qt::Key_R)},
                        [this] { browserVM->loadDirectory(); });
    deleteAction = add(QStringLiteral("Delete"), {QKeySequence::Delete},
                       [this] { requestDelete(browserVM->selectedItems()); });
    renameAction = add(QStringLiteral("Rename…"), {QKeySequence(Qt::Key_F2)}, [this] {
        const QList<model::FileItem> selected = browserVM->selectedItems();
        if (selected.size() == 1)
            beginRename(selected.first());
    });
    findAction = add(QStringLiteral("Find"), {QKeySequence(Qt::CTRL | Qt::Key_F)}, [this] {
        search->field()->setFocus(Qt::ShortcutFocusReason);
        search->field()->selectAll();
    });
    escapeAction = add(QStringLiteral("Clear"), {QKeySequence(Qt::Key_Escape)}, [this] {
        if (!browserVM->searchQuery().isEmpty())
            browserVM->setSearchQuery(QString());
        else
            browserVM->setSelectedFiles({});
    });
    connect(browserVM, &app::FileBrowserViewModel::historyChanged, this,
            &FileBrowserView::updateNavigation);
    connect(browserVM, &app::FileBrowserViewModel::currentPathChanged, this,
            &FileBrowserView::updateNavigation);
    updateNavigation();
}

QWidget* FileBrowserView::makeNavigationButtons() {
    auto* buttons = new QWidget;
    auto* row = new QHBoxLayout(buttons);
    row->setContentsMargins(8, 0, 0, 0);
    row->setSpacing(2);
    const std::pair<QAction*, const char*> items[] = {
        {backAction, "chevron.left"}, {forwardAction, "chevron.right"}, {goUpAction, "arrow.up"}};
    for (const auto& [action, symbol] : items) {
        action->setIcon(icons::tintedIcon(QString::fromLatin1(symbol), 16, theme::textSecondary()));
        auto* button = new QToolButton;
        button->setDefaultAction(action);
        button->setAutoRaise(true);
        button->setToolTip(QStringLiteral("%1 (%2)").arg(
            action->text(), action->shortcut().toString(QKeySequence::NativeText)));
        row->addWidget(button);
    }
    return buttons;
}

void FileBrowserView::updateNavigation() {
    // Nothing to move through while a notice stands in for the listing.
    const bool listing = !notice();
    backAction->setEnabled(listing && browserVM->canGoBack());
    forwardAction->setEnabled(listing && browserVM->canGoForward());
    goUpAction->setEnabled(listing && browserVM->currentPath() != QLatin1String("/"));
    appState.setCurrentPath(browserVM->currentPath());
}

void FileBrowserView::entryClicked(const QModelIndex& index, app::SelectionGesture gesture) {
    const model::FileItem item = items->item(index.row());
    browserVM->selectEntry(item.id, gesture);
    if (browserVM->selectedFiles().contains(item.id))
        previewVM->loadPreview(item);
}

void FileBrowserView::entryOpened(const QModelIndex& index) {
    openItem(items->item(index.row()));
}

void FileBrowserView::openSelection() {
    const QList<model::FileItem> selected = browserVM->selectedItems();
    if (selected.size() == 1)
        openItem(selected.first());
}

void FileBrowserView::openItem(const model::FileItem& item) {
    if (item.isDirectory) {
        // `item` may belong to the listing that clearing the search replaces.
        const QString path = item.path;
        browserVM->setSearchQuery(QString());  // a search result's folder is shown whole
        browserVM->navigateTo(path);
    } else
        openFile(item);
}

void FileBrowserView::sortByColumn(int column) {
    static constexpr std::pair<int, app::SortOrder> columns[] = {
        {FileItemModel::name, app::SortOrder::name},
        {FileItemModel::size, app::SortOrder::size},
        {FileItemModel::date, app::SortOrder::date}};
    for (const auto& [section, order] : columns) {
        if (section != column)
            continue;
        // The same column again reverses; another starts ascending.
        if (appState.sortOrder() == order) {
            appState.setSortAscending(!appState.sortAscending());
        } else {
            appState.setSortOrder(order);
            appState.setSortAscending(true);
        }
    }
    updateSortIndicator();
}

void FileBrowserView::updateSortIndicator() {
    int column = -1;
    switch (appState.sortOrder()) {
        case app::SortOrder::name:
            column = FileItemModel::name;
            break;
        case app::SortOrder::size:
            column = FileItemModel::size;
            break;
        case app::SortOrder::date:
            column = FileItemModel::date;
            break;
        case app::SortOrder::kind:
            break;
    }
    listView->showSortIndicator(column, appState.sortAscending());
}

void FileBrowserView::followSortChoice() {
    browserVM->setSortOrder(appState.sortOrder());
    browserVM->setSortAscending(appState.sortAscending());
    updateSortIndicator();
}

}  // namespace quorvale::ui
