#include "ui/common/elided_label.h"

#include <QResizeEvent>

#include "ui/common/theme.h"

namespace quorvale::ui {

ElidedLabel::ElidedLabel(const QString& text, Qt::TextElideMode mode, QWidget* parent)
    : QLabel(parent), mode(mode) {
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    setFullText(text);
}

void ElidedLabel::setFullText(const QString& text) {
    whole = text;
    updateGeometry();
    elide();
}

QSize ElidedLabel::minimumSizeHint() const {
    return {fontMetrics().horizontalAdvance(QStringLiteral("…")) * 3, fontMetrics().height()};
}

QSize ElidedLabel::sizeHint() const {
    const QMargins margins = contentsMargins();
    return {fontMetrics().horizontalAdvance(whole) + margins.left() + margins.right() + 1,
            fontMetrics().height() + margins.top() + margins.bottom()};
}

void ElidedLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    elide();
}

void ElidedLabel::elide() {
    const int width = contentsRect().width();
    const QString shown = fontMetrics().horizontalAdvance(whole) <= width
                              ? whole
                              : fontMetrics().elidedText(whole, mode, width);
    if (text() != shown)
        setText(shown);
    setToolTip(shown == whole ? QString() : whole);
}

ElidedLabel* elidedLabel(const QString& text, const QFont& font, const QColor& color) {
    auto* label = new ElidedLabel;
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
    label->setFullText(text);
    return label;
}

}  // namespace quorvale::ui
