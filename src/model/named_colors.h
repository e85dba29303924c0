#pragma once
// The fixed colours of the file model: the shared accent and the named icon tints, plus the
// secondary text colour taken from the application palette.

#include <QColor>
#include <QRgb>

namespace quorvale::model {

enum class NamedColor { accent, purple, pink, orange, red, green, brown };

constexpr QRgb namedColor(NamedColor color) {
    switch (color) {
        case NamedColor::accent:
            return qRgb(26, 86, 219);
        case NamedColor::purple:
            return qRgb(175, 82, 222);
        case NamedColor::pink:
            return qRgb(255, 45, 85);
        case NamedColor::orange:
            return qRgb(255, 149, 0);
        case NamedColor::red:
            return qRgb(255, 59, 48);
        case NamedColor::green:
            return qRgb(52, 199, 89);
        case NamedColor::brown:
            return qRgb(162, 132, 94);
    }
    return qRgb(0, 0, 0);
}

// Secondary label colour: the palette's placeholder text colour (the window text at half
// strength in Qt's default palettes).
QColor textSecondaryColor();

}  // namespace quorvale::model
