#include "ui/common/theme.h"

#include <QFontDatabase>
#include <QGuiApplication>
#include <QLabel>
#include <QPalette>

#include <cmath>
#include <numbers>

namespace quorvale::ui::theme {

namespace {

QPalette palette() {
    return QGuiApplication::palette();
}

QColor pick(QRgb light, QRgb dark) {
    return QColor::fromRgb(isDark() ? dark : light);
}

// Critically-near damped spring: response 0.35 s sets the undamped period, damping fraction
// 0.85 the decay. Sampled over springDuration and scaled so that it lands exactly on 1.
constexpr double kResponse = 0.35;
constexpr double kDamping = 0.85;

double springDisplacement(double seconds) {
    const double omega = 2.0 * std::numbers::pi / kResponse;
    const double decay = kDamping * omega;
    const double omegaDamped = omega * std::sqrt(1.0 - kDamping * kDamping);
    return 1.0 -
           std::exp(-decay * seconds) * (std::cos(omegaDamped * seconds) +
                                         decay / omegaDamped * std::sin(omegaDamped * seconds));
}

qreal springEasing(qreal progress) {
    const double total = std::chrono::duration<double>(springDuration).count();
    static const double end = springDisplacement(total);
    if (progress <= 0.0)
        return 0.0;
    if (progress >= 1.0)
        return 1.0;
    return springDisplacement(progress * total) / end;
}

}  // namespace

QColor accent() {
    return QColor::fromRgb(26, 86, 219);
}
QColor accentLight() {
    return QColor::fromRgb(59, 130, 246);
}
QColor success() {
    return QColor::fromRgb(16, 185, 129);
}

QColor systemRed() {
    return pick(qRgb(255, 59, 48), qRgb(255, 69, 58));
}
QColor systemOrange() {
    return pick(qRgb(255, 149, 0), qRgb(255, 159, 10));
}
QColor systemYellow() {
    return pick(qRgb(255, 204, 0), qRgb(255, 214, 10));
}
QColor systemGreen() {
    return pick(qRgb(52, 199, 89), qRgb(48, 209, 88));
}
QColor systemBlue() {
    return pick(qRgb(0, 122, 255), qRgb(10, 132, 255));
}
QColor systemPurple() {
    return pick(qRgb(175, 82, 222), qRgb(191, 90, 242));
}
QColor systemPink() {
    return pick(qRgb(255, 45, 85), qRgb(255, 55, 95));
}
QColor systemCyan() {
    return pick(qRgb(50, 173, 230), qRgb(100, 210, 255));
}
QColor systemBrown() {
    return pick(qRgb(162, 132, 94), qRgb(172, 142, 104));
}

QColor danger() {
    return systemRed();
}
QColor dangerTint() {
    return withOpacity(systemRed(), 0.1);
}
QColor warning() {
    return systemOrange();
}

QColor textPrimary() {
    return palette().color(QPalette::WindowText);
}
QColor textSecondary() {
    return palette().color(QPalette::PlaceholderText);
}
QColor textTertiary() {
    return withOpacity(palette().color(QPalette::WindowText), 0.45);
}
QColor surface() {
    return palette().color(QPalette::Base);
}
QColor surfaceSunken() {
    return palette().color(QPalette::Window).darker(isDark() ? 140 : 106);
}
QColor surfaceRaised() {
    return palette().color(QPalette::Base);
}
QColor divider() {
    return withOpacity(palette().color(QPalette::WindowText), 0.12);
}

QColor statusRunning() {
    return systemGreen();
}
QColor statusStopped() {
    return textTertiary();
}
QColor statusError() {
    return systemRed();
}

QColor withOpacity(QColor color, double opacity) {
    color.setAlphaF(static_cast<float>(color.alphaF() * opacity));
    return color;
}

QLabel* styledLabel(const QString& text, const QFont& font, const QColor& color) {
    auto* label = new QLabel(text);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
    return label;
}

bool isDark() {
    return palette().color(QPalette::Window).lightness() < 128;
}

QFont systemFont(int pixelSize, QFont::Weight weight) {
    QFont font = QGuiApplication::font();
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    return font;
}

QFont titleLarge() {
    return systemFont(28, QFont::Bold);
}
QFont title() {
    return systemFont(20, QFont::DemiBold);
}
QFont headline() {
    return systemFont(16, QFont::DemiBold);
}
QFont body() {
    return systemFont(14);
}
QFont bodyMedium() {
    return systemFont(14, QFont::Medium);
}
QFont caption() {
    return systemFont(12);
}
QFont captionMedium() {
    return systemFont(12, QFont::Medium);
}

QFont mono() {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setStyleHint(QFont::Monospace);
    font.setPixelSize(13);
    font.setWeight(QFont::Normal);
    return font;
}

QEasingCurve springStandard() {
    QEasingCurve curve;
    curve.setCustomType(springEasing);
    return curve;
}

}  // namespace quorvale::ui::theme
