#include "ui/common/progress_spinner.h"

#include <QPainter>

#include "ui/common/theme.h"

namespace quorvale::ui {

ProgressSpinner::ProgressSpinner(int diameter, QWidget* parent)
    : QWidget(parent), spinnerDiameter(diameter) {
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    timer.setInterval(80);
    connect(&timer, &QTimer::timeout, this, [this] {
        step = (step + 1) % kSpokes;
        update();
    });
}

QSize ProgressSpinner::sizeHint() const {
    return {spinnerDiameter, spinnerDiameter};
}

void ProgressSpinner::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal side = std::min(width(), height());
    const qreal radius = side / 2.0;
    QPen pen(theme::textSecondary(), std::max(1.5, side / 11.0), Qt::SolidLine, Qt::RoundCap);
    painter.translate(width() / 2.0, height() / 2.0);
    const QColor base = theme::textPrimary();
    for (int i = 0; i < kSpokes; ++i) {
        // The spoke at `step` is the darkest; the ones behind it fade out.
        const int age = (step - i + kSpokes) % kSpokes;
        pen.setColor(theme::withOpacity(base, 0.85 - 0.6 * age / (kSpokes - 1)));
        painter.setPen(pen);
        painter.save();
        painter.rotate(360.0 * i / kSpokes);
        painter.drawLine(QPointF(0, -radius * 0.5), QPointF(0, -radius + pen.widthF() / 2.0));
        painter.restore();
    }
}

void ProgressSpinner::showEvent(QShowEvent* event) {
    timer.start();
    QWidget::showEvent(event);
}

void ProgressSpinner::hideEvent(QHideEvent* event) {
    timer.stop();
    QWidget::hideEvent(event);
}

}  // namespace quorvale::ui
