#pragma once
// CompletionNotice: the short strip that says how a finished export or upload went
// ("Exported 3 files to Downloads"), with "Show in File Manager" when it names a local folder
// and a close button. It hides itself `duration` after it is shown, or when closed.

#include <QTimer>
#include <QWidget>

#include <chrono>

class QLabel;
class QPushButton;
class QToolButton;

namespace quorvale::ui {

class CompletionNotice : public QWidget {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds duration{8000};

    explicit CompletionNotice(QWidget* parent = nullptr);

    // Shows `text`; with a `folder`, the button opens it in the file manager.
    void present(const QString& text, const QString& folder = QString());

    QString text() const;
    QPushButton* revealButton() const { return reveal; }
    QToolButton* closeButton() const { return close; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QLabel* label;
    QPushButton* reveal;
    QToolButton* close;
    QString folder;
    QTimer expiry;
};

}  // namespace quorvale::ui
