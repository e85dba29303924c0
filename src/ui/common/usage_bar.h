#pragma once
// A horizontal capacity bar: a rounded track on the sunken surface and a fill covering
// `fraction` of the width, red above 90 %, orange above 75 %, accent otherwise.

#include <QColor>
#include <QWidget>

namespace quorvale::ui {

class UsageBar : public QWidget {
    Q_OBJECT
    Q_PROPERTY(double fraction READ fraction WRITE setFraction NOTIFY fractionChanged)
public:
    explicit UsageBar(QWidget* parent = nullptr);

    // The used share, clamped to 0...1 (NaN counts as 0).
    double fraction() const { return usedFraction; }
    void setFraction(double fraction);
    // Bar height in device-independent pixels; the corners are rounded by half of it.
    int barHeight() const { return trackHeight; }
    void setBarHeight(int height);

    // The fill colour for a used share.
    static QColor fillColor(double fraction);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

Q_SIGNALS:
    void fractionChanged();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    double usedFraction = 0.0;
    int trackHeight = 24;
};

}  // namespace quorvale::ui
