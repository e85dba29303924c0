#pragma once
// The detail column while no partition is selected: an SD card symbol in a tinted circle that
// breathes while the view is visible, the invitation to insert a card, an "Open Disk Image…"
// button for those who work with image files, and three feature rows.

#include <QVariantAnimation>
#include <QWidget>

class QLabel;
class QPushButton;

namespace quorvale::ui {

// A circle tinted `accent` holding a symbol; while animating the symbol gently grows and
// shrinks.
class SymbolCircle : public QWidget {
    Q_OBJECT
public:
    SymbolCircle(const QString& symbol, int diameter, int symbolSize, QWidget* parent = nullptr);

    bool isAnimating() const { return pulse.state() == QAbstractAnimation::Running; }
    void setAnimating(bool animating);

    QSize sizeHint() const override { return {circleDiameter, circleDiameter}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString symbol;
    int circleDiameter;
    int symbolSize;
    qreal scale = 1.0;
    QVariantAnimation pulse;
};

class EmptyStateView : public QWidget {
    Q_OBJECT
public:
    explicit EmptyStateView(QWidget* parent = nullptr);

    bool isAnimating() const { return circle->isAnimating(); }
    QString titleText() const;
    QString messageText() const;
    QStringList featureTexts() const;
    QPushButton* openImageButton() const { return openImage; }

Q_SIGNALS:
    void openDiskImageRequested();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    SymbolCircle* circle;
    QLabel* title;
    QLabel* message;
    QPushButton* openImage;
    QList<QLabel*> features;
};

}  // namespace quorvale::ui
