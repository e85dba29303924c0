#pragma once
// The VM status line of the sidebar footer: an 8-point dot in the status colour and the status
// text, which is also the tooltip and the accessible name. While booting, a faint second dot
// behind the first pulses. Long texts are elided; the tooltip keeps them whole.

#include <QColor>
#include <QString>
#include <QVariantAnimation>
#include <QWidget>

namespace quorvale::ui {

// The VM state as the indicator shows it.
struct VMIndicatorStatus {
    enum class Kind { stopped, booting, running, error };
    Kind kind = Kind::stopped;
    QString message;  // the error's description, for Kind::error

    static VMIndicatorStatus stopped() { return {Kind::stopped, {}}; }
    static VMIndicatorStatus booting() { return {Kind::booting, {}}; }
    static VMIndicatorStatus running() { return {Kind::running, {}}; }
    static VMIndicatorStatus error(const QString& message) { return {Kind::error, message}; }

    friend bool operator==(const VMIndicatorStatus&, const VMIndicatorStatus&) = default;
};

class VMStatusIndicator : public QWidget {
    Q_OBJECT
public:
    explicit VMStatusIndicator(QWidget* parent = nullptr);

    VMIndicatorStatus status() const { return current; }
    void setStatus(const VMIndicatorStatus& status);

    // "VM Stopped", "Booting VM…", "VM Running" or "VM Error: " and the message.
    static QString labelFor(const VMIndicatorStatus& status);
    static QColor dotColorFor(const VMIndicatorStatus& status);

    QString text() const { return labelFor(current); }
    bool isPulsing() const { return pulse.state() == QAbstractAnimation::Running; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    static constexpr int kDot = 8;
    static constexpr int kDotArea = 16;  // room for the pulse at twice the dot's size
    static constexpr int kSpacing = 6;

    void updatePulse();

    VMIndicatorStatus current;
    QVariantAnimation pulse;
    qreal pulseScale = 1.0;
};

}  // namespace quorvale::ui
