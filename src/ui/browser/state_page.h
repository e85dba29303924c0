#pragma once
// StatePage: what the browser's content area shows when there is nothing to list: a 40-point
// symbol, a title, a message and, when given, one button (such as "Retry").

#include <QWidget>

class QLabel;
class QPushButton;

namespace quorvale::ui {

class StatePage : public QWidget {
    Q_OBJECT
public:
    explicit StatePage(QWidget* parent = nullptr);

    // An empty title or button text hides that part.
    void present(const QString& symbol, const QString& title, const QString& message,
                 const QString& buttonText = QString());

    QString titleText() const;
    QString messageText() const;
    QPushButton* button() const { return action; }

Q_SIGNALS:
    void buttonClicked();

private:
    QLabel* symbol;
    QLabel* title;
    QLabel* message;
    QPushButton* action;
};

}  // namespace quorvale::ui
