#pragma once
// The menu bar of the main window. File: "Open Disk Image…" (Ctrl+O), "Settings…", "Quit".
// Edit: filled by the window's owner with the browser's commands (Cut, Copy, Paste, Upload).
// View: "Grid View" (Ctrl+1), "List View" (Ctrl+2), a separator, "Toggle Preview Panel"
// (Ctrl+Shift+P), and "Sort By" with the four sort keys and the two directions, acting on
// AppState. There is no New Window command.

#include <QObject>

#include "app/core/app_state.h"

class QAction;
class QMainWindow;
class QMenu;

namespace quorvale::ui {

struct AppMenus {
    QAction* openDiskImage;
    QAction* settings;
    QAction* quit;
    QMenu* edit;
    QAction* gridView;
    QAction* listView;
    QAction* togglePreviewPanel;
    QList<QAction*> sortBy;  // Name, Size, Date Modified, Kind
    QAction* sortAscending;
    QAction* sortDescending;

    // Builds the menus on `window`; the File actions are left for the window to connect.
    static AppMenus install(QMainWindow& window, app::AppState& appState);
};

}  // namespace quorvale::ui
