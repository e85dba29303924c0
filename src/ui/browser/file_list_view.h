#pragma once
// The two presentations of FileItemModel. FileGridView: a QListView in icon mode with uniform
// tiles painted by FileItemTileDelegate. FileListView: a QTableView with the five columns, rows
// painted selected from the model's selection role, whose headers ask for a sort. Neither keeps
// a selection of its own: a click or an arrow key is reported as a selection gesture (Ctrl or
// the tile's checkbox toggles, Shift extends; Ctrl+arrow only moves the cursor) and the browser
// updates FileBrowserViewModel, whose change flows back through the model. Enter asks to open
// the selection; dragging entries out emits dragRequested.

#include <QListView>
#include <QTableView>

#include "app/selection_rules.h"

namespace quorvale::ui {

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
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void startDrag(Qt::DropActions supportedActions) override;
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
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void startDrag(Qt::DropActions supportedActions) override;
};

}  // namespace quorvale::ui
