#include "ui/browser/file_list_view.h"

#include <QHeaderView>
#include <QMouseEvent>
#include <QStyledItemDelegate>

#include "ui/browser/file_item_model.h"
#include "ui/browser/file_item_tile.h"
#include "ui/common/theme.h"

namespace quorvale::ui {
namespace {

// Paints a row as selected when the browser's selection holds it.
class SelectionRoleDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        if (index.data(FileItemModel::selectedRole).toBool())
            option->state |= QStyle::State_Selected;
        else
            option->state &= ~QStyle::State_Selected;
        if (index.column() != FileItemModel::name) {
            option->font = theme::body();
            option->palette.setColor(QPalette::Text, theme::textSecondary());
        }
    }
};

void configure(QAbstractItemView* view) {
    view->setSelectionMode(QAbstractItemView::NoSelection);
    view->setDragEnabled(true);
    view->setDragDropMode(QAbstractItemView::DragOnly);
    view->setMouseTracking(true);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setFocusPolicy(Qt::StrongFocus);
}

}  // namespace

FileGridView::FileGridView(QWidget* parent) : QListView(parent) {
    configure(this);
    setViewMode(QListView::IconMode);
    setMovement(QListView::Static);
    setResizeMode(QListView::Adjust);
    setFlow(QListView::LeftToRight);
    setWrapping(true);
    setUniformItemSizes(true);
    setLayoutMode(QListView::Batched);
    setBatchSize(2000);
    setSpacing(6);  // 12 points between tiles
    setItemDelegate(new FileItemTileDelegate(this));
    setGridSize(FileItemTileDelegate::kTileSize + QSize(12, 12));
    setFrameShape(QFrame::NoFrame);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
}

void FileGridView::mousePressEvent(QMouseEvent* event) {
    const QModelIndex index = indexAt(event->position().toPoint());
    if (event->button() == Qt::LeftButton) {
        if (!index.isValid()) {
            Q_EMIT backgroundClicked();
        } else {
            const QRect tile = visualRect(index).adjusted(2, 2, -2, -2);
            const bool onCheckbox =
                FileItemTileDelegate::checkboxRect(tile).contains(event->position().toPoint());
            Q_EMIT entryClicked(index, onCheckbox || (event->modifiers() & Qt::ControlModifier));
        }
    }
    // Keeps drag detection and the current index.
    QListView::mousePressEvent(event);
}

void FileGridView::mouseDoubleClickEvent(QMouseEvent* event) {
    const QModelIndex index = indexAt(event->position().toPoint());
    if (index.isValid() && event->button() == Qt::LeftButton)
        Q_EMIT entryOpened(index);
}

void FileGridView::startDrag(Qt::DropActions) {
    Q_EMIT dragRequested();
}

FileListView::FileListView(QWidget* parent) : QTableView(parent) {
    configure(this);
    setItemDelegate(new SelectionRoleDelegate(this));
    setShowGrid(false);
    setAlternatingRowColors(true);
    setSortingEnabled(false);
    setWordWrap(false);
    setFrameShape(QFrame::NoFrame);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(26);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setSectionsClickable(false);
    horizontalHeader()->setStretchLastSection(true);
    horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
}

void FileListView::mousePressEvent(QMouseEvent* event) {
    const QModelIndex index = indexAt(event->position().toPoint());
    if (event->button() == Qt::LeftButton) {
        if (index.isValid())
            Q_EMIT entryClicked(index, event->modifiers() & Qt::ControlModifier);
        else
            Q_EMIT backgroundClicked();
    }
    QTableView::mousePressEvent(event);
}

void FileListView::mouseDoubleClickEvent(QMouseEvent* event) {
    const QModelIndex index = indexAt(event->position().toPoint());
    if (index.isValid() && event->button() == Qt::LeftButton)
        Q_EMIT entryOpened(index);
}

void FileListView::startDrag(Qt::DropActions) {
    Q_EMIT dragRequested();
}

}  // namespace quorvale::ui
