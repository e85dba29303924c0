#include "ui/sidebar/vm_status_indicator.h"

#include <QPainter>

#include "ui/common/theme.h"

namespace quorvale::ui {

VMStatusIndicator::VMStatusIndicator(QWidget* parent) : QWidget(parent) {
    setFont(theme::caption());
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    pulse.setStartValue(1.0);
    pulse.setKeyValueAt(0.5, 2.0);
    pulse.setEndValue(1.0);
    pulse.setDuration(2000);
    pulse.setEasingCurve(QEasingCurve::InOutSine);
    pulse.setLoopCount(-1);
    connect(&pulse, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        pulseScale = value.toReal();
        update();
    });
    setToolTip(text());
    setAccessibleName(text());
}

void VMStatusIndicator::setStatus(const VMIndicatorStatus& status) {
    if (status == current)
        return;
    current = status;
    setToolTip(text());
    setAccessibleName(text());
    updatePulse();
    updateGeometry();
    update();
}

QString VMStatusIndicator::labelFor(const VMIndicatorStatus& status) {
    switch (status.kind) {
        case VMIndicatorStatus::Kind::stopped:
            return tr("VM Stopped");
        case VMIndicatorStatus::Kind::booting:
            return tr("Booting VM…");
        case VMIndicatorStatus::Kind::running:
            return tr("VM Running");
        case VMIndicatorStatus::Kind::error:
            return tr("VM Error: ") + status.message;
    }
    return {};
}

QColor VMStatusIndicator::dotColorFor(const VMIndicatorStatus& status) {
    switch (status.kind) {
        case VMIndicatorStatus::Kind::stopped:
            return theme::statusStopped();
        case VMIndicatorStatus::Kind::booting:
            return theme::systemOrange();
        case VMIndicatorStatus::Kind::running:
            return theme::statusRunning();
        case VMIndicatorStatus::Kind::error:
            return theme::statusError();
    }
    return {};
}

void VMStatusIndicator::updatePulse() {
    const bool wanted = current.kind == VMIndicatorStatus::Kind::booting && isVisible();
    if (wanted && !isPulsing()) {
        pulse.start();
    } else if (!wanted && isPulsing()) {
        pulse.stop();
        pulseScale = 1.0;
    }
}

QSize VMStatusIndicator::sizeHint() const {
    const QFontMetrics metrics = fontMetrics();
    return {kDotArea + kSpacing + metrics.horizontalAdvance(text()),
            std::max(kDotArea, metrics.height())};
}

QSize VMStatusIndicator::minimumSizeHint() const {
    return {kDotArea + kSpacing + fontMetrics().horizontalAdvance(QStringLiteral("VM…")),
            sizeHint().height()};
}

void VMStatusIndicator::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    const QColor color = dotColorFor(current);
    const QPointF centre(kDotArea / 2.0, height() / 2.0);
    if (current.kind == VMIndicatorStatus::Kind::booting) {
        const qreal radius = kDot / 2.0 * pulseScale;
        painter.setBrush(theme::withOpacity(color, 0.4));
        painter.drawEllipse(centre, radius, radius);
    }
    painter.setBrush(color);
    painter.drawEllipse(centre, kDot / 2.0, kDot / 2.0);

    painter.setPen(theme::textTertiary());
    const QRect textRect(kDotArea + kSpacing, 0, width() - kDotArea - kSpacing, height());
    painter.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter,
                     fontMetrics().elidedText(text(), Qt::ElideRight, textRect.width()));
}

void VMStatusIndicator::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    updatePulse();
}

void VMStatusIndicator::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    updatePulse();
}

}  // namespace quorvale::ui
