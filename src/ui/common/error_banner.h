#pragma once
// The transient error bar at the top edge of a host widget: a warning symbol and the message in
// white on red, and a dismiss button. It slides in from the top edge (fading in) with the
// standard spring and slides out the same way; it follows the host's width. Showing, hiding
// and auto-hiding are driven from outside; the dismiss button hides the banner and reports it.

#include <QParallelAnimationGroup>
#include <QPointer>
#include <QWidget>

class QGraphicsOpacityEffect;
class QLabel;
class QPropertyAnimation;
class QToolButton;

namespace quorvale::ui {

class ErrorBanner : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString message READ message WRITE setMessage NOTIFY messageChanged)
public:
    // The banner overlays `host`, which becomes its parent.
    explicit ErrorBanner(QWidget* host);

    QString message() const;
    void setMessage(const QString& message);

    // Slides the banner in; nothing happens while it is shown or coming in.
    void showBanner();
    // Slides the banner out and hides it; nothing happens while it is hidden or going out.
    void hideBanner();
    // True from showBanner() until hideBanner().
    bool isShown() const { return shown; }

    QToolButton* dismissButton() const { return dismiss; }

Q_SIGNALS:
    void messageChanged();
    // The user pressed the dismiss button; the banner is already going out.
    void dismissed();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    static constexpr int kHostMargin = 12;   // gap to the host's edges
    static constexpr int kShadowMargin = 8;  // room for the shadow around the bar
    static constexpr qreal kCornerRadius = 8;

    QRect restingGeometry() const;
    QPoint hiddenPosition() const;
    void animateTo(QPoint end, qreal endOpacity, bool hideAtEnd);

    QPointer<QWidget> host;
    QLabel* symbol;
    QLabel* text;
    QToolButton* dismiss;
    QGraphicsOpacityEffect* fade;
    QParallelAnimationGroup transition;
    QPropertyAnimation* slide;
    QPropertyAnimation* fadeAnimation;
    bool shown = false;
};

}  // namespace quorvale::ui
