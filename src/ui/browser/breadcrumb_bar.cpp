#include "ui/browser/breadcrumb_bar.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>

#include "model/display_format.h"
#include "ui/common/icons.h"
#include "ui/common/theme.h"

namespace quorvale::ui {

BreadcrumbBar::BreadcrumbBar(QWidget* parent) : QWidget(parent) {
    row = new QHBoxLayout(this);
    row->setContentsMargins(12, 8, 12, 8);
    row->setSpacing(2);
    setComponents(app::breadcrumb(QStringLiteral("/")));
}

void BreadcrumbBar::setComponents(const QList<app::PathComponent>& components) {
    while (QLayoutItem* item = row->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    for (qsizetype i = 0; i < components.size(); ++i) {
        const app::PathComponent& crumb = components[i];
        if (i > 0) {
            auto* chevron = new QLabel;
            chevron->setPixmap(
                icons::tintedPixmap(QStringLiteral("chevron.right"), 10, theme::textTertiary()));
            row->addWidget(chevron);
        }
        const bool last = i == components.size() - 1;
        auto* button =
            new QPushButton(i == 0 ? QStringLiteral("Root") : model::readableName(crumb.name));
        button->setObjectName(QStringLiteral("crumb"));
        button->setProperty("path", crumb.path);  // where entries dropped on it go
        button->setFlat(true);
        button->setCursor(Qt::PointingHandCursor);
        button->setFont(theme::captionMedium());
        button->setStyleSheet(
            QStringLiteral("QPushButton { color: %1; border: none; padding: 4px 8px; "
                           "border-radius: 4px; background: transparent; }"
                           "QPushButton:hover { background: %2; }")
                .arg((last ? theme::accent() : theme::textSecondary()).name(),
                     theme::withOpacity(theme::accent(), 0.1).name(QColor::HexArgb)));
        connect(button, &QPushButton::clicked, this,
                [this, path = crumb.path] { Q_EMIT navigate(path); });
        row->addWidget(button);
    }
    row->addStretch(1);
}

QStringList BreadcrumbBar::labels() const {
    QStringList texts;
    for (int i = 0; i < row->count(); ++i)
        if (auto* button = qobject_cast<QPushButton*>(row->itemAt(i)->widget()))
            texts << button->text();
    return texts;
}

void BreadcrumbBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), theme::withOpacity(theme::surface(), 0.5));
}

}  // namespace quorvale::ui
