#pragma once
// The loading indicator of a listing in progress: a progress indicator at 1.2 times the regular
// size, centred, whose opacity pulses while the overlay is visible.

#include <QVariantAnimation>
#include <QWidget>

namespace quorvale::ui {

class ProgressSpinner;

class LoadingOverlay : public QWidget {
    Q_OBJECT
public:
    explicit LoadingOverlay(QWidget* parent = nullptr);

    bool isAnimating() const { return pulse.state() == QAbstractAnimation::Running; }
    ProgressSpinner* spinner() const { return indicator; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    ProgressSpinner* indicator;
    QVariantAnimation pulse;
};

}  // namespace quorvale::ui
