#pragma once
// An indeterminate circular progress indicator (twelve fading spokes turning), drawn at a
// fixed diameter. It turns only while visible.

#include <QTimer>
#include <QWidget>

namespace quorvale::ui {

class ProgressSpinner : public QWidget {
    Q_OBJECT
public:
    static constexpr int kRegularDiameter = 32;
    static constexpr int kSmallDiameter = 16;

    explicit ProgressSpinner(int diameter = kRegularDiameter, QWidget* parent = nullptr);

    int diameter() const { return spinnerDiameter; }
    bool isSpinning() const { return timer.isActive(); }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    static constexpr int kSpokes = 12;
    int spinnerDiameter;
    int step = 0;
    QTimer timer;
};

}  // namespace quorvale::ui
