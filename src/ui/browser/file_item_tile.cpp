#include "ui/browser/file_item_tile.h"

#include <QPainter>
#include <QPainterPath>

#include "model/file_item.h"
#include "ui/browser/file_item_model.h"
#include "ui/common/icons.h"
#include "ui/common/theme.h"

namespace quorvale::ui {

FileItemTileDelegate::FileItemTileDelegate(QObject* parent) : QStyledItemDelegate(parent) {}

QSize FileItemTileDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const {
    return kTileSize;
}

QRect FileItemTileDelegate::checkboxRect(const QRect& tile) {
    return {tile.left() + 6, tile.top() + 6, kCheckboxSize, kCheckboxSize};
}

QPixmap FileItemTileDelegate::symbol(const QString& name, const QColor& tint, int size) const {
    const QString key = name + QLatin1Char('|') + tint.name(QColor::HexArgb) + QLatin1Char('|') +
                        QString::number(size);
    auto found = pixmaps.constFind(key);
    if (found != pixmaps.constEnd())
        return *found;
    const QPixmap pixmap = icons::tintedPixmap(name, size, tint);
    pixmaps.insert(key, pixmap);
    return pixmap;
}

void FileItemTileDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                 const QModelIndex& index) const {
    const auto* model = qobject_cast<const FileItemModel*>(index.model());
    if (!model)
        return;
    const model::FileItem& item = model->item(index.row());
    const bool selected = index.data(FileItemModel::selectedRole).toBool();
    const bool hovered = option.state & QStyle::State_MouseOver;
    const QRect tile = option.rect.adjusted(2, 2, -2, -2);

    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    if (selected || hovered) {
        painter->setPen(Qt::NoPen);
        painter->setBrush(selected ? theme::withOpacity(theme::accent(), 0.15)
                                   : theme::surfaceRaised());
        painter->drawRoundedRect(tile, 8, 8);
    }

    // Icon area 80 x 72 centred at the top, the symbol 32 points in it.
    const QRect iconArea(tile.center().x() - 40, tile.top() + 4, 80, 72);
    const QVariant thumbnail = index.data(FileItemModel::thumbnailRole);
    if (thumbnail.canConvert<QImage>() && !thumbnail.value<QImage>().isNull()) {
        // The picture itself, fitted into the icon area with a hairline edge.
        const QImage picture = thumbnail.value<QImage>();
        const QSize fitted =
            picture.size().scaled(iconArea.size() - QSize(4, 4), Qt::KeepAspectRatio);
        const QRect target(QPoint(iconArea.center().x() - fitted.width() / 2,
                                  iconArea.center().y() - fitted.height() / 2),
                           fitted);
        painter->setRenderHint(QPainter::SmoothPixmapTransform);
        painter->drawImage(target, picture);
        painter->setPen(QPen(theme::withOpacity(theme::textTertiary(), 0.4), 1));
        painter->setBrush(Qt::NoBrush);
        painter->drawRect(QRectF(target).adjusted(0.5, 0.5, -0.5, -0.5));
    } else {
        QPixmap pixmap = symbol(item.iconName(), item.iconColor(), 32);
        if (item.isSymlink)
            pixmap = icons::withLinkEmblem(pixmap);
        const QSize logical = pixmap.deviceIndependentSize().toSize();
        painter->drawPixmap(QRect(QPoint(iconArea.center().x() - logical.width() / 2,
                                         iconArea.center().y() - logical.height() / 2),
                                  logical),
                            pixmap);
    }

    const int textWidth = std::min(110, tile.width() - 8);
    const QFont nameFont = theme::caption();
    const QFontMetrics nameMetrics(nameFont);
    const QRect nameRect(tile.center().x() - textWidth / 2, iconArea.bottom() + 2, textWidth,
                         nameMetrics.height());
    painter->setFont(nameFont);
    painter->setPen(theme::textPrimary());
    painter->drawText(nameRect, Qt::AlignHCenter | Qt::AlignVCenter,
                      nameMetrics.elidedText(item.displayName(), Qt::ElideMiddle, textWidth));

    QFont small = theme::systemFont(10);
    painter->setFont(small);
    painter->setPen(theme::textTertiary());
    const QRect secondRect(nameRect.left(), nameRect.bottom() + 2, textWidth,
                           QFontMetrics(small).height());
    painter->drawText(
        secondRect, Qt::AlignHCenter | Qt::AlignVCenter,
        QFontMetrics(small).elidedText(index.data(FileItemModel::secondaryTextRole).toString(),
                                       Qt::ElideMiddle, textWidth));

    if (selected || hovered) {
        const QRectF box = QRectF(checkboxRect(tile)).adjusted(0.5, 0.5, -0.5, -0.5);
        if (selected) {
            painter->setPen(Qt::NoPen);
            painter->setBrush(theme::accent());
            painter->drawEllipse(box);
            QPen check(Qt::white, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
            painter->setPen(check);
            painter->setBrush(Qt::NoBrush);
            // An 11-point check mark centred in the circle.
            const QPointF c = box.center();
            QPainterPath path;
            path.moveTo(c + QPointF(-4.5, 0.5));
            path.lineTo(c + QPointF(-1.5, 3.5));
            path.lineTo(c + QPointF(4.5, -3.5));
            painter->drawPath(path);
        } else {
            painter->setPen(QPen(theme::textTertiary(), 1.5));
            painter->setBrush(theme::surface());
            painter->drawEllipse(box);
        }
    }
    painter->restore();
}

void FileItemTileDelegate::updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                                                const QModelIndex&) const {
    const QRect tile = option.rect.adjusted(2, 2, -2, -2);
    const int height = editor->sizeHint().height();
    // Below the 72-point icon area, as wide as the tile.
    editor->setGeometry(tile.left() + 2, tile.top() + 4 + 72, tile.width() - 4, height);
}

}  // namespace quorvale::ui
