#pragma once
// TransferProgress: the strip shown while an export or upload runs: "Uploading…" or
// "Exporting…" with the current file, a determinate bar, "12.0 MB of 200 MB · 8.1 MB/s · about
// 3 minutes left" and a Cancel button. Speed is measured over the progress reports since
// start().

#include <QElapsedTimer>
#include <QWidget>

class QLabel;
class QProgressBar;
class QPushButton;

namespace quorvale::ui {

class TransferProgress : public QWidget {
    Q_OBJECT
public:
    explicit TransferProgress(QWidget* parent = nullptr);

    void start(const QString& title);
    void setProgress(quint64 done, quint64 total, const QString& file);
    // "12.0 MB of 200 MB · 8.1 MB/s · about 3 minutes left" (speed and time left out before a
    // second's worth of data).
    static QString detailText(quint64 done, quint64 total, double bytesPerSecond);
    // "less than a minute left", "about 3 minutes left", "about 2 h 5 min left".
    static QString timeLeftText(double seconds);

    QProgressBar* bar() const { return progress; }
    QLabel* detail() const { return details; }
    QPushButton* cancelButton() const { return cancel; }

Q_SIGNALS:
    void cancelRequested();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QLabel* heading;
    QProgressBar* progress;
    QLabel* details;
    QPushButton* cancel;
    QElapsedTimer clock;
};

}  // namespace quorvale::ui
