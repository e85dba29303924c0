#include "ui/common/error_banner.h"

#include <QEvent>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPropertyAnimation>
#include <QToolButton>

#include "ui/common/icons.h"
#include "ui/common/theme.h"

namespace quorvale::ui {

ErrorBanner::ErrorBanner(QWidget* host) : QWidget(host), host(host) {
    setAttribute(Qt::WA_TranslucentBackground);
    symbol = new QLabel;
    symbol->setPixmap(
        icons::tintedPixmap(QStringLiteral("exclamationmark.triangle.fill"), 16, Qt::white));
    text = theme::styledLabel(QString(), theme::bodyMedium(), Qt::white);
    text->setWordWrap(true);
    text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    dismiss = new QToolButton;
    dismiss->setAutoRaise(true);
    dismiss->setCursor(Qt::PointingHandCursor);
    dismiss->setIcon(
        icons::tintedIcon(QStringLiteral("xmark"), 12, theme::withOpacity(Qt::white, 0.8)));
    dismiss->setIconSize(QSize(12, 12));
    dismiss->setToolTip(tr("Dismiss"));
    dismiss->setAccessibleName(tr("Dismiss"));

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(kShadowMargin + 14, kShadowMargin + 10, kShadowMargin + 10,
                            kShadowMargin + 10);
    row->setSpacing(10);
    row->addWidget(symbol, 0, Qt::AlignTop);
    row->addWidget(text, 1);
    row->addWidget(dismiss, 0, Qt::AlignTop);

    fade = new QGraphicsOpacityEffect(this);
    fade->setEnabled(false);
    setGraphicsEffect(fade);
    slide = new QPropertyAnimation(this, "pos", this);
    fadeAnimation = new QPropertyAnimation(fade, "opacity", this);
    transition.addAnimation(slide);
    transition.addAnimation(fadeAnimation);

    connect(dismiss, &QToolButton::clicked, this, [this] {
        hideBanner();
        Q_EMIT dismissed();
    });
    host->installEventFilter(this);
    hide();
}

QString ErrorBanner::message() const {
    return text->text();
}

void ErrorBanner::setMessage(const QString& message) {
    if (message == text->text())
        return;
    text->setText(message);
    setAccessibleName(message);
    if (isVisible() && transition.state() != QAbstractAnimation::Running)
        setGeometry(restingGeometry());
    Q_EMIT messageChanged();
}

QRect ErrorBanner::restingGeometry() const {
    const int hostWidth = host ? host->width() : width();
    const int width = std::max(0, hostWidth - 2 * (kHostMargin - kShadowMargin));
    const int height = layout()->hasHeightForWidth() ? layout()->totalHeightForWidth(width)
                                                     : layout()->totalSizeHint().height();
    return {kHostMargin - kShadowMargin, kHostMargin - kShadowMargin, width, height};
}

QPoint ErrorBanner::hiddenPosition() const {
    return {restingGeometry().x(), -restingGeometry().height()};
}

void ErrorBanner::showBanner() {
    if (shown)
        return;
    shown = true;
    const QRect rest = restingGeometry();
    if (!isVisible())
        setGeometry(QRect(hiddenPosition(), rest.size()));
    else
        resize(rest.size());
    show();
    raise();
    animateTo(rest.topLeft(), 1.0, false);
}

void ErrorBanner::hideBanner() {
    if (!shown)
        return;
    shown = false;
    animateTo(hiddenPosition(), 0.0, true);
}

void ErrorBanner::animateTo(QPoint end, qreal endOpacity, bool hideAtEnd) {
    transition.stop();
    transition.disconnect(this);
    fade->setEnabled(true);
    slide->setStartValue(pos());
    slide->setEndValue(end);
    slide->setDuration(static_cast<int>(theme::springDuration.count()));
    slide->setEasingCurve(theme::springStandard());
    fadeAnimation->setStartValue(fade->opacity());
    fadeAnimation->setEndValue(endOpacity);
    fadeAnimation->setDuration(static_cast<int>(theme::springDuration.count()) / 2);
    connect(&transition, &QAbstractAnimation::finished, this, [this, hideAtEnd] {
        fade->setEnabled(false);
        if (hideAtEnd)
            hide();
    });
    transition.start();
}

bool ErrorBanner::eventFilter(QObject* watched, QEvent* event) {
    if (watched == host && event->type() == QEvent::Resize && isVisible()) {
        const QRect rest = restingGeometry();
        if (transition.state() == QAbstractAnimation::Running)
            resize(rest.size());
        else if (shown)
            setGeometry(rest);
    }
    return QWidget::eventFilter(watched, event);
}

void ErrorBanner::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF bar =
        QRectF(rect()).adjusted(kShadowMargin, kShadowMargin, -kShadowMargin, -kShadowMargin);
    // A soft black shadow (about 0.15 opacity at its core) offset slightly downwards.
    painter.setPen(Qt::NoPen);
    for (int spread = kShadowMargin; spread > 0; spread -= 2) {
        painter.setBrush(QColor(0, 0, 0, 8));
        painter.drawRoundedRect(bar.adjusted(-spread / 2.0, -spread / 4.0, spread / 2.0, spread),
                                kCornerRadius + spread / 2.0, kCornerRadius + spread / 2.0);
    }
    painter.setBrush(theme::withOpacity(theme::systemRed(), 0.9));
    painter.drawRoundedRect(bar, kCornerRadius, kCornerRadius);
}

}  // namespace quorvale::ui
