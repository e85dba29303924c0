#pragma once
// The main window's toolbar. While a partition is selected it holds the view-mode switch (grid,
// list), the preview-panel toggle (its symbol slashed while the panel is hidden) and the
// disk-usage button; with nothing selected it is empty.

#include <QToolBar>

#include "app/core/app_state.h"

class QToolButton;

namespace quorvale::ui {

class WindowToolbar : public QToolBar {
    Q_OBJECT
public:
    explicit WindowToolbar(app::AppState& appState, QWidget* parent = nullptr);

    // The actions currently shown.
    QList<QAction*> visibleActions() const;
    QAction* gridAction() const { return grid; }
    QAction* listAction() const { return list; }
    QAction* previewAction() const { return preview; }
    QAction* diskUsageAction() const { return diskUsage; }

Q_SIGNALS:
    void diskUsageRequested();

private:
    void update();

    app::AppState& appState;
    QAction* grid;
    QAction* list;
    QAction* switchSeparator;
    QAction* preview;
    QAction* diskUsage;
};

}  // namespace quorvale::ui
