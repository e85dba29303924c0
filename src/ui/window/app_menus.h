#pragma once
// The menu bar of the main window. File: "Open Disk Image…" (Ctrl+O), "Settings…", "Quit".
// View: "Grid View" (Ctrl+1), "List View" (Ctrl+2), a separator and "Toggle Preview Panel"
// (Ctrl+Shift+P), acting on AppState. There is no New Window command.

#include <QObject>

#include "app/app_state.h"

class QAction;
class QMainWindow;

namespace quorvale::ui {

struct AppMenus {
    QAction* openDiskImage;
    QAction* settings;
    QAction* quit;
    QAction* gridView;
    QAction* listView;
    QAction* togglePreviewPanel;

    // Builds the menus on `window`; the File actions are left for the window to connect.
    static AppMenus install(QMainWindow& window, app::AppState& appState);
};

}  // namespace quorvale::ui
