#include "ui/page_overlay.h"

#include <QEvent>
#include <QPainter>
#include <QVBoxLayout>

#include "ui/theme.h"

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
    painter.fillRect(rect(), theme::withOpacity(palette().color(QPalette::Window), 0.92));
}

}  // namespace quorvale::ui
