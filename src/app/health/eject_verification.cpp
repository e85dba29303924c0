#include "app/health/eject_verification.h"

#include <QPointer>

#include <functional>
#include <memory>

#include "app/core/app_log.h"
#include "fileops/partition_control.h"

namespace quorvale::app {

QCoro::Task<void> EjectVerification::run(QStringList partitions) {
    QPointer<EjectVerification> self(this);
    auto control = std::make_shared<fileops::PartitionControl>(transport);
    for (const QString& partition : partitions) {
        stop_.emplace();
        current_ = EjectCheck{partition, 0, 0, false};
        Q_EMIT currentChanged();
        const std::function<void(const fileops::CheckStatus&)> progress =
            [self](const fileops::CheckStatus& status) {
                if (!self || !self->current_)
                    return;
                self->current_->percent = status.percent;
                self->current_->pass = status.pass;
                Q_EMIT self->currentChanged();
            };
        CheckReport report;
        try {
            auto checking = control->runCheck(partition, progress, stop_->get_token());
            const fileops::CheckStatus status = co_await std::move(checking);
            report = makeCheckReport(status);
        } catch (const std::exception& error) {
            report.outcome = CheckReport::Outcome::failed;
            report.message =
                QStringLiteral("The check could not run: ") + QString::fromUtf8(error.what());
        }
        if (!self)
            co_return;
        qCInfo(lcDiskDetection, "Eject check of %s: %s", qUtf8Printable(partition),
               qUtf8Printable(report.message));
        reports_.append(report);
    }
    current_.reset();
    stop_.reset();
    Q_EMIT currentChanged();
}

void EjectVerification::skip() {
    if (!stop_ || !current_)
        return;
    stop_->request_stop();
    current_->skipping = true;
    Q_EMIT currentChanged();
}

std::optional<CheckReport> EjectVerification::verdict() const {
    const CheckReport* shown = nullptr;
    for (const CheckReport& report : reports_) {
        if (!shown || report.outcome != CheckReport::Outcome::clean)
            shown = &report;
        if (report.outcome == CheckReport::Outcome::damaged)
            break;
    }
    return shown ? std::optional(*shown) : std::nullopt;
}

}  // namespace quorvale::app
