#include "ui/common/page_overlay.h"

#include <QEvent>
#include <QPainter>
#include <QVBoxLayout>

#include "ui/common/theme.h"

namespace quorvale::ui {

PageOverlay::PageOverlay(QWidget* page, QWidget* host) : QWidget(host), content(page) {
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(page, 0, Qt::AlignCenter);
    // Clicks and wheel events stop here instead of reaching the window beneath.
    setAttribute(Qt::WA_NoMousePropagation);
    host->installEventFilter(this);
    setGeometry(host->rect());
    hide();
}

bool PageOverlay::eventFilter(QObject* watched, QEvent* event) {
    if (watched == parent() && event->type() == QEvent::Resize)
        setGeometry(parentWidget()->rect());
    return QWidget::eventFilter(watched, event);
}

void PageOverlay::showEvent(QShowEvent* event) {
    setGeometry(parentWidget()->rect());
    raise();
    QWidget::showEvent(event);
}

void PageOverlay::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor window = palette().color(QPalette::Window);
    painter.fillRect(rect(), theme::withOpacity(window, 0.85));
    // The page itself sits on an opaque card with a faint edge.
    const QRectF card = QRectF(content->geometry()).adjusted(-8, -8, 8, 8);
    painter.setPen(QPen(theme::divider(), 1));
    painter.setBrush(window);
    painter.drawRoundedRect(card, 12, 12);
}

}  // namespace quorvale::ui
