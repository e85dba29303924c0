#pragma once
// The two presentations of FileItemModel. FileGridView: a QListView in icon mode with uniform
// tiles painted by FileItemTileDelegate. FileListView: a QTableView with the five columns, rows
// painted selected from the model's selection role. Neither keeps a selection of its own: a
// click is reported with its modifiers and the browser updates FileBrowserViewModel, whose
// change flows back through the model. Dragging entries out emits dragRequested.

#include <QListView>
#include <QTableView>

namespace quorvale::ui {

class FileGridView : public QListView {
    Q_OBJECT
public:
    explicit FileGridView(QWidget* parent = nullptr);

Q_SIGNALS:
    // A click on an entry; `toggle` for a Ctrl-click or a click on the tile's checkbox.
    void entryClicked(const QModelIndex& index, bool toggle);
    void entryOpened(const QModelIndex& index);
    void backgroundClicked();
    void dragRequested();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void startDrag(Qt::DropActions supportedActions) override;
};

class FileListView : public QTableView {
    Q_OBJECT
public:
    explicit FileListView(QWidget* parent = nullptr);

Q_SIGNALS:
    void entryClicked(const QModelIndex& index, bool toggle);
    void entryOpened(const QModelIndex& index);
    void backgroundClicked();
    void dragRequested();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void startDrag(Qt::DropActions supportedActions) override;
};

}  // namespace quorvale::ui
