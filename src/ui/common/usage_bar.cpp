#include "ui/common/usage_bar.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

#include "ui/common/theme.h"

namespace quorvale::ui {

UsageBar::UsageBar(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void UsageBar::setFraction(double fraction) {
    const double clamped = std::isnan(fraction) ? 0.0 : std::clamp(fraction, 0.0, 1.0);
    if (clamped == usedFraction)
        return;
    usedFraction = clamped;
    setAccessibleDescription(QStringLiteral("%1 %").arg(std::lround(clamped * 100)));
    update();
    Q_EMIT fractionChanged();
}

void UsageBar::setBarHeight(int height) {
    trackHeight = std::max(1, height);
    updateGeometry();
    update();
}

QColor UsageBar::fillColor(double fraction) {
    if (fraction > 0.9)
        return theme::systemRed();
    if (fraction > 0.75)
        return theme::systemOrange();
    return theme::accent();
}

QSize UsageBar::sizeHint() const {
    return {240, trackHeight};
}
QSize UsageBar::minimumSizeHint() const {
    return {trackHeight, trackHeight};
}

void UsageBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    const QRectF track(0, (height() - trackHeight) / 2.0, width(), trackHeight);
    const qreal radius = trackHeight * 0.5;
    QPainterPath trackPath;
    trackPath.addRoundedRect(track, radius, radius);
    painter.fillPath(trackPath, theme::surfaceSunken());
    if (usedFraction <= 0.0)
        return;
    // A thin fill keeps the track's rounded ends instead of becoming a squashed pill.
    painter.setClipPath(trackPath);
    QPainterPath fill;
    fill.addRoundedRect(QRectF(track.topLeft(), QSizeF(track.width() * usedFraction, trackHeight)),
                        radius, radius);
    painter.fillPath(fill, fillColor(usedFraction));
}

}  // namespace quorvale::ui
