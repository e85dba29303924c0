#pragma once
// TransferProgress: the strip shown while an export or upload runs: "Uploading…" or
// "Exporting…" with the current file, a determinate bar, "12.0 MB of 200 MB · 8.1 MB/s" and a
// Cancel button. Speed is measured over the progress reports since start().

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
    // "12.0 MB of 200 MB · 8.1 MB/s" (the speed left out before a second's worth of data).
    static QString detailText(quint64 done, quint64 total, double bytesPerSecond);

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
