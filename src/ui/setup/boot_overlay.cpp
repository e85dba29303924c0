#include "ui/setup/boot_overlay.h"

#include <QEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include <cmath>

#include "ui/common/progress_spinner.h"
#include "ui/common/theme.h"

namespace quorvale::ui {

BootOverlay::BootOverlay(QWidget* host) : QWidget(host) {
    indicator =
        new ProgressSpinner(static_cast<int>(std::lround(ProgressSpinner::kRegularDiameter * 1.5)));
    label = theme::styledLabel(tr("Booting VM..."), theme::body(), theme::textSecondary());
    cancel = new QPushButton(tr("Cancel"));
    connect(cancel, &QPushButton::clicked, this, &BootOverlay::cancelRequested);

    auto* column = new QVBoxLayout(this);
    column->setSpacing(16);
    column->addStretch();
    column->addWidget(indicator, 0, Qt::AlignHCenter);
    column->addWidget(label, 0, Qt::AlignHCenter);
    // The button keeps 12 more points above it than the stack's spacing.
    auto* padded = new QWidget;
    auto* paddedLayout = new QVBoxLayout(padded);
    paddedLayout->setContentsMargins(0, 12, 0, 0);
    paddedLayout->addWidget(cancel);
    column->addWidget(padded, 0, Qt::AlignHCenter);
    column->addStretch();

    host->installEventFilter(this);
    setGeometry(host->rect());
    hide();
}

QString BootOverlay::text() const {
    return label->text();
}

bool BootOverlay::eventFilter(QObject* watched, QEvent* event) {
    if (watched == parent() && event->type() == QEvent::Resize)
        setGeometry(parentWidget()->rect());
    return QWidget::eventFilter(watched, event);
}

void BootOverlay::showEvent(QShowEvent* event) {
    setGeometry(parentWidget()->rect());
    raise();
    QWidget::showEvent(event);
}

void BootOverlay::paintEvent(QPaintEvent*) {
    // The veil lets the window show through faintly, as a thin material does.
    QPainter painter(this);
    painter.fillRect(rect(), theme::withOpacity(palette().color(QPalette::Window), 0.85));
}

}  // namespace quorvale::ui
