#pragma once
// The full-window overlay shown while the VM boots: a translucent veil over the host (the
// stand-in for an ultra-thin material) with a large progress indicator, "Booting VM..." and a
// Cancel button. It covers the host and follows its size; Cancel only reports the request.

#include <QWidget>

class QLabel;
class QPushButton;

namespace quorvale::ui {

class ProgressSpinner;

class BootOverlay : public QWidget {
    Q_OBJECT
public:
    // The overlay covers `host`, which becomes its parent. It starts hidden.
    explicit BootOverlay(QWidget* host);

    QString text() const;
    QPushButton* cancelButton() const { return cancel; }
    ProgressSpinner* spinner() const { return indicator; }

Q_SIGNALS:
    void cancelRequested();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    ProgressSpinner* indicator;
    QLabel* label;
    QPushButton* cancel;
};

}  // namespace quorvale::ui
