#pragma once
// FileItemTileDelegate: paints one grid entry of FileItemModel as a tile: an 80 x 72 icon area
// with a 32-point symbol, the name (caption, at most 110 wide), a secondary line at 10 points,
// the selection tint (accent at 0.15) or the hover fill, and a 20-point circular checkbox while
// the tile is hovered or selected (FileGridView turns a click on it into a toggle).

#include <QHash>
#include <QPixmap>
#include <QStyledItemDelegate>

namespace quorvale::ui {

class FileItemTileDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    static constexpr QSize kTileSize{124, 124};
    static constexpr int kCheckboxSize = 20;

    explicit FileItemTileDelegate(QObject* parent = nullptr);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    // The name editor sits over the tile's name line.
    void updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const override;

    // The checkbox of a tile drawn in `tile`.
    static QRect checkboxRect(const QRect& tile);

private:
    QPixmap symbol(const QString& name, const QColor& tint, int size) const;

    mutable QHash<QString, QPixmap> pixmaps;
};

}  // namespace quorvale::ui
