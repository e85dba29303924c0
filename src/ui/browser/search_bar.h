#pragma once
// SearchBar: a 14-point magnifying glass, a plain field with the placeholder "Search files…",
// and, while the text is not empty, a clear button ("xmark.circle.fill") that empties it and the
// "in all subfolders" switch, which widens the search from the folder to everything below it.

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
    QToolButton* subfoldersButton() const { return subfolders; }
    bool searchesSubfolders() const;
    void setSearchesSubfolders(bool value);

Q_SIGNALS:
    void textChanged(const QString& text);
    void subfoldersToggled(bool on);

private:
    QLineEdit* edit;
    QToolButton* clear;
    QToolButton* subfolders;
};

}  // namespace quorvale::ui
