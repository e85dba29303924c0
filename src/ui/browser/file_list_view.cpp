#include "ui/browser/file_list_view.h"

#include <QApplication>
#include <QHeaderView>
#include <QKeyEvent>
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

app::SelectionGesture clickGesture(Qt::KeyboardModifiers modifiers, bool onCheckbox) {
    if (onCheckbox || (modifiers & Qt::ControlModifier))
        return app::SelectionGesture::toggle;
    if (modifiers & Qt::ShiftModifier)
        return app::SelectionGesture::extend;
    return app::SelectionGesture::only;
}

// Reaches the views' cursor actions, which Qt keeps for subclasses.
struct CursorKeys : QAbstractItemView {
    using QAbstractItemView::CursorAction;
    static std::optional<CursorAction> of(int key) {
        switch (key) {
            case Qt::Key_Up:
                return MoveUp;
            case Qt::Key_Down:
                return MoveDown;
            case Qt::Key_Left:
                return MoveLeft;
            case Qt::Key_Right:
                return MoveRight;
            case Qt::Key_Home:
                return MoveHome;
            case Qt::Key_End:
                return MoveEnd;
            case Qt::Key_PageUp:
                return MovePageUp;
            case Qt::Key_PageDown:
                return MovePageDown;
            default:
                return std::nullopt;
        }
    }
};

}  // namespace

std::optional<app::SelectionGesture> EntryPress::press(const QMouseEvent& event,
                                                       const QModelIndex& index, bool onCheckbox) {
    from.reset();
    waiting = QPersistentModelIndex();
    if (event.button() != Qt::LeftButton || !index.isValid())
        return std::nullopt;
    from = event.position().toPoint();
    const app::SelectionGesture gesture = clickGesture(event.modifiers(), onCheckbox);
    if (gesture == app::SelectionGesture::only &&
        index.data(FileItemModel::selectedRole).toBool()) {
        waiting = index;
        return std::nullopt;
    }
    return gesture;
}

bool EntryPress::beginsDrag(const QMouseEvent& event) {
    if (!from || !(event.buttons() & Qt::LeftButton) ||
        (event.position().toPoint() - *from).manhattanLength() < QApplication::startDragDistance())
        return false;
    from.reset();
    waiting = QPersistentModelIndex();
    return true;
}

QModelIndex EntryPress::release(const QMouseEvent& event) {
    if (event.button() != Qt::LeftButton)
        return {};
    const QModelIndex alone = waiting;
    from.reset();
    waiting = QPersistentModelIndex();
    return alone;
}

// Moves the cursor for an arrow key and reports the gesture; Enter asks to open. Returns false
// for the keys the view handles as usual.
template <typename View>
bool handleBrowserKey(View& view, QKeyEvent* event, QModelIndex next) {
    const int key = event->key();
    if ((key == Qt::Key_Return || key == Qt::Key_Enter) &&
        !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) {
        Q_EMIT view.openRequested();
        return true;
    }
    if (!CursorKeys::of(key) || (event->modifiers() & Qt::AltModifier))
        return false;
    if (!next.isValid())
        return true;
    view.setCurrentIndex(next);
    view.scrollTo(next);
    if (!(event->modifiers() & Qt::ControlModifier))
        Q_EMIT view.entryClicked(next, event->modifiers() & Qt::ShiftModifier
                                           ? app::SelectionGesture::extend
                                           : app::SelectionGesture::only);
    return true;
}

namespace {

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
    bool onCheckbox = false;
    if (index.isValid()) {
        const QRect tile = visualRect(index).adjusted(2, 2, -2, -2);
        onCheckbox = FileItemTileDelegate::checkboxRect(tile).contains(event->position().toPoint());
    }
    const auto gesture = entryPress.press(*event, index, onCheckbox);
    if (event->button() == Qt::LeftButton && !index.isValid())
        Q_EMIT backgroundClicked();
    else if (gesture)
        Q_EMIT entryClicked(index, *gesture);
    // Keeps the current index.
    QListView::mousePressEvent(event);
}

void FileGridView::mouseMoveEvent(QMouseEvent* event) {
    if (entryPress.beginsDrag(*event)) {
        Q_EMIT dragRequested();
        return;
    }
    QListView::mouseMoveEvent(event);
}

void FileGridView::mouseReleaseEvent(QMouseEvent* event) {
    const QModelIndex alone = entryPress.release(*event);
    if (alone.isValid())
        Q_EMIT entryClicked(alone, app::SelectionGesture::only);
    QListView::mouseReleaseEvent(event);
}

void FileGridView::keyPressEvent(QKeyEvent* event) {
    // Keys the name editor passes on (Enter, arrows) stay with it.
    if (state() == EditingState) {
        event->accept();
        return;
    }
    const auto action = CursorKeys::of(event->key());
    const QModelIndex next =
        action ? moveCursor(*action, event->modifiers() & ~Qt::ShiftModifier) : QModelIndex();
    if (!handleBrowserKey(*this, event, next))
        QListView::keyPressEvent(event);
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
    // Long names keep their start and their extension; the tooltip holds the whole text.
    setTextElideMode(Qt::ElideMiddle);
    setFrameShape(QFrame::NoFrame);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(26);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setSectionsClickable(true);
    horizontalHeader()->setSortIndicatorShown(true);
    connect(horizontalHeader(), &QHeaderView::sectionClicked, this, &FileListView::sortRequested);
    horizontalHeader()->setStretchLastSection(true);
    horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
}

void FileListView::mousePressEvent(QMouseEvent* event) {
    const QModelIndex index = indexAt(event->position().toPoint());
    const auto gesture = entryPress.press(*event, index, false);
    if (event->button() == Qt::LeftButton && !index.isValid())
        Q_EMIT backgroundClicked();
    else if (gesture)
        Q_EMIT entryClicked(index, *gesture);
    QTableView::mousePressEvent(event);
}

void FileListView::mouseMoveEvent(QMouseEvent* event) {
    if (entryPress.beginsDrag(*event)) {
        Q_EMIT dragRequested();
        return;
    }
    QTableView::mouseMoveEvent(event);
}

void FileListView::mouseReleaseEvent(QMouseEvent* event) {
    const QModelIndex alone = entryPress.release(*event);
    if (alone.isValid())
        Q_EMIT entryClicked(alone, app::SelectionGesture::only);
    QTableView::mouseReleaseEvent(event);
}

void FileListView::keyPressEvent(QKeyEvent* event) {
    // Keys the name editor passes on (Enter, arrows) stay with it.
    if (state() == EditingState) {
        event->accept();
        return;
    }
    const auto action = CursorKeys::of(event->key());
    // Left and Right move between rows too: the list has no horizontal cursor.
    const auto vertical = action == MoveLeft ? MoveUp : action == MoveRight ? MoveDown : action;
    // Home and End go to the first and last row, not column.
    const Qt::KeyboardModifiers modifiers =
        (event->modifiers() & ~Qt::ShiftModifier) |
        (action == MoveHome || action == MoveEnd ? Qt::ControlModifier : Qt::NoModifier);
    const QModelIndex next = vertical ? moveCursor(*vertical, modifiers) : QModelIndex();
    if (!handleBrowserKey(*this, event, next))
        QTableView::keyPressEvent(event);
}

void FileListView::showSortIndicator(int column, bool ascending) {
    horizontalHeader()->setSortIndicatorShown(column >= 0);
    horizontalHeader()->setSortIndicator(column,
                                         ascending ? Qt::AscendingOrder : Qt::DescendingOrder);
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
