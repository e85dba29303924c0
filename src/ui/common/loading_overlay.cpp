#include "ui/common/loading_overlay.h"

#include <QGraphicsOpacityEffect>
#include <QVBoxLayout>

#include <cmath>

#include "ui/common/progress_spinner.h"

namespace quorvale::ui {

LoadingOverlay::LoadingOverlay(QWidget* parent) : QWidget(parent) {
    indicator = new ProgressSpinner(
        static_cast<int>(std::lround(ProgressSpinner::kRegularDiameter * 1.2)), this);
    auto* opacity = new QGraphicsOpacityEffect(indicator);
    indicator->setGraphicsEffect(opacity);

    pulse.setStartValue(1.0);
    pulse.setKeyValueAt(0.5, 0.55);
    pulse.setEndValue(1.0);
    pulse.setDuration(1600);
    pulse.setEasingCurve(QEasingCurve::InOutSine);
    pulse.setLoopCount(-1);
    connect(&pulse, &QVariantAnimation::valueChanged, opacity,
            [opacity](const QVariant& value) { opacity->setOpacity(value.toReal()); });

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(indicator, 0, Qt::AlignCenter);
}

void LoadingOverlay::showEvent(QShowEvent* event) {
    pulse.start();
    QWidget::showEvent(event);
}

void LoadingOverlay::hideEvent(QHideEvent* event) {
    pulse.stop();
    QWidget::hideEvent(event);
}

}  // namespace quorvale::ui
