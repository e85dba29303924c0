#include "ui/browser/completion_notice.h"

#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QToolButton>
#include <QUrl>

#include "ui/common/icons.h"
#include "ui/common/theme.h"

namespace quorvale::ui {

CompletionNotice::CompletionNotice(QWidget* parent) : QWidget(parent) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(12, 6, 8, 6);
    row->setSpacing(8);
    auto* icon = new QLabel;
    icon->setPixmap(
        icons::tintedPixmap(QStringLiteral("checkmark.circle.fill"), 14, theme::success()));
    label = theme::styledLabel(QString(), theme::caption(), theme::textPrimary());
    label->setWordWrap(true);
    reveal = new QPushButton(QStringLiteral("Show in File Manager"));
    reveal->setAutoDefault(false);
    close = new QToolButton;
    close->setIcon(icons::tintedIcon(QStringLiteral("xmark"), 12, theme::textSecondary()));
    close->setAutoRaise(true);
    close->setToolTip(QStringLiteral("Close"));
    row->addWidget(icon);
    row->addWidget(label, 1);
    row->addWidget(reveal);
    row->addWidget(close);
    expiry.setSingleShot(true);
    connect(&expiry, &QTimer::timeout, this, &QWidget::hide);
    connect(close, &QToolButton::clicked, this, &QWidget::hide);
    connect(reveal, &QPushButton::clicked, this,
            [this] { QDesktopServices::openUrl(QUrl::fromLocalFile(folder)); });
    hide();
}

void CompletionNotice::present(const QString& text, const QString& revealFolder) {
    label->setText(text);
    folder = revealFolder;
    reveal->setVisible(!folder.isEmpty());
    show();
    expiry.start(duration);
}

QString CompletionNotice::text() const {
    return label->text();
}

void CompletionNotice::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), theme::withOpacity(theme::success(), 0.12));
    painter.setPen(theme::divider());
    painter.drawLine(rect().topLeft(), rect().topRight());
}

}  // namespace quorvale::ui
