#include "ui/browser/selection_action_bar.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>

#include "ui/common/icons.h"
#include "ui/common/theme.h"

namespace quorvale::ui {
namespace {

QPushButton* barButton(const QString& text, const QString& symbol, const QColor& tint) {
    auto* button = new QPushButton(text);
    button->setFlat(true);
    button->setFont(theme::captionMedium());
    button->setIconSize(QSize(16, 16));
    if (!symbol.isEmpty())
        button->setIcon(icons::tintedIcon(symbol, 16, tint));
    button->setStyleSheet(
        QStringLiteral("QPushButton { color: %1; padding: 4px 8px; }").arg(tint.name()));
    return button;
}

}  // namespace

SelectionActionBar::SelectionActionBar(QWidget* parent) : QWidget(parent) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(12, 6, 12, 6);
    layout->setSpacing(8);
    auto* mark = new QLabel;
    mark->setFixedSize(24, 24);
    mark->setAlignment(Qt::AlignCenter);
    mark->setPixmap(
        icons::tintedPixmap(QStringLiteral("checkmark.circle.fill"), 16, theme::accent()));
    count = theme::styledLabel(QString(), theme::bodyMedium(), theme::textPrimary());
    toggleAll = barButton(QStringLiteral("Select All"), QString(), theme::accent());
    copy = barButton(QStringLiteral("Copy Path"), QStringLiteral("doc.on.clipboard"),
                     theme::textPrimary());
    exportAction = barButton(QStringLiteral("Export"), QStringLiteral("square.and.arrow.up"),
                             theme::textPrimary());
    exporting =
        theme::styledLabel(QStringLiteral("Exporting…"), theme::caption(), theme::textSecondary());
    exporting->hide();
    remove = barButton(QStringLiteral("Delete"), QString(), theme::danger());
    clear = barButton(QStringLiteral("Deselect"), QString(), theme::textSecondary());
    layout->addWidget(mark);
    layout->addWidget(count);
    layout->addStretch(1);
    for (QWidget* widget : {static_cast<QWidget*>(toggleAll), static_cast<QWidget*>(copy),
                            static_cast<QWidget*>(exportAction), static_cast<QWidget*>(exporting),
                            static_cast<QWidget*>(remove), static_cast<QWidget*>(clear)})
        layout->addWidget(widget);

    connect(toggleAll, &QPushButton::clicked, this, &SelectionActionBar::toggleSelectAll);
    connect(copy, &QPushButton::clicked, this, &SelectionActionBar::copyPath);
    connect(exportAction, &QPushButton::clicked, this, &SelectionActionBar::exportSelection);
    connect(remove, &QPushButton::clicked, this, &SelectionActionBar::deleteSelection);
    connect(clear, &QPushButton::clicked, this, &SelectionActionBar::deselect);
}

void SelectionActionBar::setCounts(qsizetype selectedCount, bool allVisibleSelected) {
    count->setText(QStringLiteral("%1 selected").arg(selectedCount));
    toggleAll->setText(allVisibleSelected ? QStringLiteral("Deselect All")
                                          : QStringLiteral("Select All"));
}

void SelectionActionBar::setExporting(bool value) {
    exportAction->setVisible(!value);
    exporting->setVisible(value);
}

void SelectionActionBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), theme::surface());
    painter.setPen(theme::divider());
    painter.drawLine(rect().topLeft(), rect().topRight());
}

}  // namespace quorvale::ui
