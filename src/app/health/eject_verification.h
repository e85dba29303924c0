#pragma once
// EjectVerification: the read-only checks of a verifying eject, one partition after another,
// with the progress of the check under way and a way to skip it. Keeps one report per
// partition checked, a skipped or failed check included. Lives on the GUI thread; the
// transport must outlive it.

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <qcoro/qcorotask.h>

#include <optional>
#include <stop_token>

#include "app/health/check_report.h"

namespace quorvale::guest {
class VsockTransport;
}

namespace quorvale::app {

// A verifying eject's check while it runs.
struct EjectCheck {
    QString partition;
    int percent = 0;
    int pass = 0;
    bool skipping = false;
};

class EjectVerification : public QObject {
    Q_OBJECT

public:
    explicit EjectVerification(guest::VsockTransport& transport, QObject* parent = nullptr)
        : QObject(parent), transport(transport) {}

    // Checks each (unmounted) partition in turn, adding its report.
    QCoro::Task<void> run(QStringList partitions);
    // Skips the check under way; the next one still runs.
    void skip();
    void clearReports() { reports_.clear(); }

    std::optional<EjectCheck> current() const { return current_; }
    QList<CheckReport> reports() const { return reports_; }
    // What an eject reports: the first damage found, else the last other trouble, else that
    // the card is clean; nothing when no partition was checked.
    std::optional<CheckReport> verdict() const;

Q_SIGNALS:
    void currentChanged();

private:
    guest::VsockTransport& transport;
    std::optional<EjectCheck> current_;
    std::optional<std::stop_source> stop_;
    QList<CheckReport> reports_;
};

}  // namespace quorvale::app
