#include "ui/browser/transfer_progress.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <limits>

#include "model/display_format.h"
#include "ui/common/theme.h"

namespace quorvale::ui {
namespace {

QString bytes(quint64 count) {
    return model::byteCountText(
        qint64(std::min<quint64>(count, quint64(std::numeric_limits<qint64>::max()))));
}

}  // namespace

TransferProgress::TransferProgress(QWidget* parent) : QWidget(parent) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(12, 8, 12, 8);
    row->setSpacing(12);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(4);
    heading = theme::styledLabel(QString(), theme::captionMedium(), theme::textPrimary());
    progress = new QProgressBar;
    progress->setRange(0, 1000);
    progress->setTextVisible(false);
    progress->setFixedHeight(8);
    details = theme::styledLabel(QString(), theme::caption(), theme::textSecondary());
    texts->addWidget(heading);
    texts->addWidget(progress);
    texts->addWidget(details);
    cancel = new QPushButton(QStringLiteral("Cancel"));
    row->addLayout(texts, 1);
    row->addWidget(cancel, 0, Qt::AlignVCenter);
    connect(cancel, &QPushButton::clicked, this, &TransferProgress::cancelRequested);
}

void TransferProgress::start(const QString& title) {
    heading->setText(title);
    heading->setProperty("title", title);
    progress->setValue(0);
    details->setText(QString());
    cancel->setEnabled(true);
    clock.start();
}

QString TransferProgress::detailText(quint64 done, quint64 total, double bytesPerSecond) {
    QString text = QStringLiteral("%1 of %2").arg(bytes(done), bytes(total));
    if (bytesPerSecond > 0) {
        text += QStringLiteral(" · %1/s").arg(bytes(quint64(bytesPerSecond)));
        if (done < total)
            text += QStringLiteral(" · ") + timeLeftText(double(total - done) / bytesPerSecond);
    }
    return text;
}

QString TransferProgress::timeLeftText(double seconds) {
    if (seconds < 60)
        return QStringLiteral("less than a minute left");
    const auto minutes = qint64(seconds / 60 + 0.5);
    if (minutes < 60)
        return minutes == 1 ? QStringLiteral("about a minute left")
                            : QStringLiteral("about %1 minutes left").arg(minutes);
    const auto hours = qint64(seconds / 3600);
    const auto rest = qint64(seconds / 60) - hours * 60;
    return QStringLiteral("about %1 h %2 min left").arg(hours).arg(rest);
}

void TransferProgress::setProgress(quint64 done, quint64 total, const QString& file) {
    const QString title = heading->property("title").toString();
    heading->setText(file.isEmpty() ? title : title + QStringLiteral(" ") + file);
    progress->setValue(total == 0 ? 0 : int(std::min<quint64>(done, total) * 1000 / total));
    const double seconds = clock.isValid() ? clock.elapsed() / 1000.0 : 0.0;
    details->setText(detailText(done, total, seconds >= 1.0 ? done / seconds : 0.0));
}

void TransferProgress::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), theme::surface());
    painter.setPen(theme::divider());
    painter.drawLine(rect().topLeft(), rect().topRight());
}

}  // namespace quorvale::ui
