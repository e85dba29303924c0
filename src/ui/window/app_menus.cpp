#include "ui/window/app_menus.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QMainWindow>
#include <QMenuBar>

namespace quorvale::ui {

AppMenus AppMenus::install(QMainWindow& window, app::AppState& appState) {
    AppMenus menus{};
    QMenu* file = window.menuBar()->addMenu(QStringLiteral("&File"));
    menus.openDiskImage = file->addAction(QStringLiteral("Open Disk Image…"));
    menus.openDiskImage->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    file->addSeparator();
    menus.settings = file->addAction(QStringLiteral("Settings…"));
    menus.settings->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    menus.settings->setMenuRole(QAction::PreferencesRole);
    file->addSeparator();
    menus.quit = file->addAction(QStringLiteral("Quit"));
    menus.quit->setShortcut(QKeySequence::Quit);
    menus.quit->setMenuRole(QAction::QuitRole);
    QObject::connect(menus.quit, &QAction::triggered, qApp, &QApplication::closeAllWindows);

    menus.edit = window.menuBar()->addMenu(QStringLiteral("&Edit"));

    QMenu* view = window.menuBar()->addMenu(QStringLiteral("&View"));
    auto* modes = new QActionGroup(view);
    menus.gridView = view->addAction(QStringLiteral("Grid View"));
    menus.gridView->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_1));
    menus.listView = view->addAction(QStringLiteral("List View"));
    menus.listView->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_2));
    for (QAction* action : {menus.gridView, menus.listView}) {
        action->setCheckable(true);
        modes->addAction(action);
    }
    view->addSeparator();
    menus.togglePreviewPanel = view->addAction(QStringLiteral("Toggle Preview Panel"));
    menus.togglePreviewPanel->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_P));

    QMenu* sort = view->addMenu(QStringLiteral("Sort By"));
    auto* keys = new QActionGroup(sort);
    for (app::SortOrder order : app::allSortOrders) {
        QAction* action = sort->addAction(app::rawValue(order));
        action->setCheckable(true);
        keys->addAction(action);
        menus.sortBy.append(action);
        QObject::connect(action, &QAction::triggered, view,
                         [&appState, order] { appState.setSortOrder(order); });
    }
    sort->addSeparator();
    auto* directions = new QActionGroup(sort);
    menus.sortAscending = sort->addAction(QStringLiteral("Ascending"));
    menus.sortDescending = sort->addAction(QStringLiteral("Descending"));
    for (QAction* action : {menus.sortAscending, menus.sortDescending}) {
        action->setCheckable(true);
        directions->addAction(action);
    }
    QObject::connect(menus.sortAscending, &QAction::triggered, view,
                     [&appState] { appState.setSortAscending(true); });
    QObject::connect(menus.sortDescending, &QAction::triggered, view,
                     [&appState] { appState.setSortAscending(false); });
    const auto showSort = [&appState, menus] {
        for (qsizetype i = 0; i < menus.sortBy.size(); ++i)
            menus.sortBy[i]->setChecked(app::allSortOrders[i] == appState.sortOrder());
        menus.sortAscending->setChecked(appState.sortAscending());
        menus.sortDescending->setChecked(!appState.sortAscending());
    };
    showSort();
    QObject::connect(&appState, &app::AppState::sortOrderChanged, view, showSort);
    QObject::connect(&appState, &app::AppState::sortAscendingChanged, view, showSort);

    const auto showMode = [&appState, menus] {
        menus.gridView->setChecked(appState.viewMode() == app::ViewMode::grid);
        menus.listView->setChecked(appState.viewMode() == app::ViewMode::list);
    };
    showMode();
    QObject::connect(&appState, &app::AppState::viewModeChanged, view, showMode);
    QObject::connect(menus.gridView, &QAction::triggered, view,
                     [&appState] { appState.setViewMode(app::ViewMode::grid); });
    QObject::connect(menus.listView, &QAction::triggered, view,
                     [&appState] { appState.setViewMode(app::ViewMode::list); });
    QObject::connect(menus.togglePreviewPanel, &QAction::triggered, view,
                     [&appState] { appState.setShowPreviewPanel(!appState.showPreviewPanel()); });
    return menus;
}

}  // namespace quorvale::ui
