#pragma once
// SearchBar: a 14-point magnifying glass, a plain field with the placeholder "Search files…",
// and, while the text is not empty, a clear button ("xmark.circle.fill") that empties it.

#include <QWidget>

class QLineEdit;
class QToolButton;

namespace quorvale::ui {

class SearchBar : public QWidget {
    Q_OBJECT
public:
    explicit SearchBar(QWidget* parent = nullptr);

    QString text() const;
    void setText(const QString& text);
    QLineEdit* field() const { return edit; }
    QToolButton* clearButton() const { return clear; }

Q_SIGNALS:
    void textChanged(const QString& text);

private:
    QLineEdit* edit;
    QToolButton* clear;
};

}  // namespace quorvale::ui
