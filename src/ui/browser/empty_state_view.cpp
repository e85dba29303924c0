#include "ui/browser/empty_state_view.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/common/icons.h"
#include "ui/common/theme.h"

namespace quorvale::ui {

SymbolCircle::SymbolCircle(const QString& symbol, int diameter, int symbolSize, QWidget* parent)
    : QWidget(parent), symbol(symbol), circleDiameter(diameter), symbolSize(symbolSize) {
    setFixedSize(diameter, diameter);
    pulse.setStartValue(1.0);
    pulse.setKeyValueAt(0.5, 1.08);
    pulse.setEndValue(1.0);
    pulse.setDuration(2400);
    pulse.setEasingCurve(QEasingCurve::InOutSine);
    pulse.setLoopCount(-1);
    connect(&pulse, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        scale = value.toReal();
        update();
    });
}

void SymbolCircle::setAnimating(bool animating) {
    if (animating == isAnimating())
        return;
    if (animating) {
        pulse.start();
    } else {
        pulse.stop();
        scale = 1.0;
        update();
    }
}

void SymbolCircle::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.setPen(Qt::NoPen);
    painter.setBrush(theme::withOpacity(theme::accent(), 0.1));
    painter.drawEllipse(rect());
    const QPixmap pixmap = icons::tintedPixmap(symbol, symbolSize, theme::accent());
    painter.translate(width() / 2.0, height() / 2.0);
    painter.scale(scale, scale);
    painter.drawPixmap(QPointF(-symbolSize / 2.0, -symbolSize / 2.0), pixmap);
}

EmptyStateView::EmptyStateView(QWidget* parent) : QWidget(parent) {
    circle = new SymbolCircle(QStringLiteral("sdcard"), 140, 56);
    title =
        theme::styledLabel(tr("Insert an SD Card to Begin"), theme::title(), theme::textPrimary());
    message =
        theme::styledLabel(tr("Quorvale will detect EXT4 partitions\nautomatically and let you "
                              "browse files."),
                           theme::body(), theme::textSecondary());
    message->setAlignment(Qt::AlignHCenter);
    openImage = new QPushButton(tr("Open Disk Image…"));
    openImage->setIcon(icons::tintedIcon(QStringLiteral("doc"), 16, theme::accent()));
    connect(openImage, &QPushButton::clicked, this, &EmptyStateView::openDiskImageRequested);

    auto* featureBox = new QVBoxLayout;
    featureBox->setSpacing(10);
    const QStringList featureTexts{tr("Full read & write EXT4 support"),
                                   tr("No kernel modules or root mounts required"),
                                   tr("Cards stay isolated from the host kernel")};
    for (const QString& text : featureTexts) {
        auto* row = new QHBoxLayout;
        row->setSpacing(8);
        auto* check = new QLabel;
        check->setPixmap(
            icons::tintedPixmap(QStringLiteral("checkmark.circle.fill"), 16, theme::success()));
        auto* label = theme::styledLabel(text, theme::body(), theme::textPrimary());
        features.append(label);
        row->addWidget(check);
        row->addWidget(label);
        row->addStretch();
        featureBox->addLayout(row);
    }

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(32, 32, 32, 32);
    column->setSpacing(0);
    column->addStretch();
    column->addWidget(circle, 0, Qt::AlignHCenter);
    column->addSpacing(24);
    column->addWidget(title, 0, Qt::AlignHCenter);
    column->addSpacing(8);
    column->addWidget(message, 0, Qt::AlignHCenter);
    column->addSpacing(16);
    column->addWidget(openImage, 0, Qt::AlignHCenter);
    column->addSpacing(28);
    auto* featureRow = new QHBoxLayout;
    featureRow->addStretch();
    featureRow->addLayout(featureBox);
    featureRow->addStretch();
    column->addLayout(featureRow);
    column->addStretch();
}

QString EmptyStateView::titleText() const {
    return title->text();
}
QString EmptyStateView::messageText() const {
    return message->text();
}

QStringList EmptyStateView::featureTexts() const {
    QStringList texts;
    for (const QLabel* label : features)
        texts.append(label->text());
    return texts;
}

void EmptyStateView::showEvent(QShowEvent* event) {
    circle->setAnimating(true);
    QWidget::showEvent(event);
}

void EmptyStateView::hideEvent(QHideEvent* event) {
    circle->setAnimating(false);
    QWidget::hideEvent(event);
}

}  // namespace quorvale::ui
