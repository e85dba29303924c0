#pragma once
// The shared visual constants of every view: colours (fixed values and palette-derived system
// colours), the type scale and the standard spring animation. Palette-derived values are read
// from the application palette at each call, so they follow a palette change.

#include <QColor>
#include <QEasingCurve>
#include <QFont>

#include <chrono>

class QLabel;

namespace quorvale::ui::theme {

// Fixed colours.
QColor accent();       // sRGB 26, 86, 219
QColor accentLight();  // sRGB 59, 130, 246
QColor success();      // sRGB 16, 185, 129

// The platform's named system colours, in their light or dark variant to match the palette.
QColor systemRed();
QColor systemOrange();
QColor systemYellow();
QColor systemGreen();
QColor systemBlue();
QColor systemPurple();
QColor systemPink();
QColor systemCyan();
QColor systemBrown();

QColor danger();      // system red
QColor dangerTint();  // system red at opacity 0.1
QColor warning();     // system orange

// Label and surface colours from the application palette.
QColor textPrimary();
QColor textSecondary();
QColor textTertiary();
QColor surface();        // control background
QColor surfaceSunken();  // under-page background, a shade below the window
QColor surfaceRaised();  // control background (same value as surface)
QColor divider();

QColor statusRunning();  // system green
QColor statusStopped();  // tertiary label
QColor statusError();    // system red

// `color` with its alpha set to `opacity` (0...1) times its own alpha.
QColor withOpacity(QColor color, double opacity);

// A label showing `text` in `font` and `color`.
QLabel* styledLabel(const QString& text, const QFont& font, const QColor& color);

// True when the application palette has a dark window background.
bool isDark();

// Type scale; sizes are in device-independent pixels (the points of the layout).
QFont titleLarge();     // 28 bold
QFont title();          // 20 semibold
QFont headline();       // 16 semibold
QFont body();           // 14 regular
QFont bodyMedium();     // 14 medium
QFont caption();        // 12 regular
QFont captionMedium();  // 12 medium
QFont mono();           // monospaced 13 regular
// The system font at `pixelSize` with `weight`.
QFont systemFont(int pixelSize, QFont::Weight weight = QFont::Normal);

// The standard spring (response 0.35 s, damping fraction 0.85, no blending) as an easing curve
// over springDuration. The curve starts at 0, ends exactly at 1 and overshoots by under 1 %.
QEasingCurve springStandard();
inline constexpr std::chrono::milliseconds springDuration{450};

}  // namespace quorvale::ui::theme
