#pragma once
// ElidedLabel: a one-line label that never clips its text: when the text is wider than the
// label it is elided (in the middle unless told otherwise) and the tooltip holds it whole. The
// label asks for little width, so that layouts can shrink it.

#include <QLabel>

namespace quorvale::ui {

class ElidedLabel : public QLabel {
    Q_OBJECT
public:
    explicit ElidedLabel(const QString& text = {}, Qt::TextElideMode mode = Qt::ElideMiddle,
                         QWidget* parent = nullptr);

    void setFullText(const QString& text);
    QString fullText() const { return whole; }
    bool isElided() const { return text() != whole; }

    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void elide();

    QString whole;
    Qt::TextElideMode mode;
};

// A styled ElidedLabel, as theme::styledLabel makes a QLabel.
ElidedLabel* elidedLabel(const QString& text, const QFont& font, const QColor& color);

}  // namespace quorvale::ui
