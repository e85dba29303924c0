#pragma once
// The two presentations of FileItemModel. FileGridView: a QListView in icon mode with uniform
// tiles painted by FileItemTileDelegate. FileListView: a QTableView with the five columns, rows
// painted selected from the model's selection role, whose headers ask for a sort. Neither keeps
// a selection of its own: a click or an arrow key is reported as a selection gesture (Ctrl or
// the tile's checkbox toggles, Shift extends; Ctrl+arrow only moves the cursor) and the browser
// updates FileBrowserViewModel, whose change flows back through the model. Enter asks to open
// the selection; dragging entries out emits dragRequested.

#include <QListView>
#include <QPersistentModelIndex>
#include <QTableView>

#include <optional>

#include "app/browser/selection_rules.h"

class QMouseEvent;

namespace quorvale::ui {

// A left press on an entry, followed until the release. Qt's own drag detection drags the
// indexes of the view's selection model, which these views leave empty, so a move past the
// drag distance is watched here. A plain press on an entry already selected keeps the whole
// selection for a drag; it selects that entry alone only at a release without a drag.
class EntryPress {
public:
    // The gesture to report now for a press on `index` (nothing while it waits for the
    // release).
    std::optional<app::SelectionGesture> press(const QMouseEvent& event, const QModelIndex& index,
                                               bool onCheckbox);
    // Whether `event` moves the pressed entry far enough to begin a drag (once a press).
    bool beginsDrag(const QMouseEvent& event);
    // The entry a waiting plain press selects alone, if so.
    QModelIndex release(const QMouseEvent& event);

private:
    std::optional<QPoint> from;
    QPersistentModelIndex waiting;
};

class FileGridView : public QListView {
    Q_OBJECT
public:
    explicit FileGridView(QWidget* parent = nullptr);

Q_SIGNALS:
    // A click or an arrow key on an entry.
    void entryClicked(const QModelIndex& index, app::SelectionGesture gesture);
    void entryOpened(const QModelIndex& index);
    void openRequested();
    void backgroundClicked();
    void dragRequested();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void startDrag(Qt::DropActions supportedActions) override;

private:
    EntryPress entryPress;
};

class FileListView : public QTableView {
    Q_OBJECT
public:
    explicit FileListView(QWidget* parent = nullptr);

    // Shows the sort arrow on `column` (none for -1).
    void showSortIndicator(int column, bool ascending);

Q_SIGNALS:
    void entryClicked(const QModelIndex& index, app::SelectionGesture gesture);
    void entryOpened(const QModelIndex& index);
    void openRequested();
    void backgroundClicked();
    void dragRequested();
    // A click on the header of `column`.
    void sortRequested(int column);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void startDrag(Qt::DropActions supportedActions) override;

private:
    EntryPress entryPress;
};

}  // namespace quorvale::ui
