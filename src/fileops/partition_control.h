#pragma once
// PartitionControl: the guest calls that decide how a partition is mounted and that check an
// unmounted one, each an ordinary call with the 10-second timeout. A check runs in the guest in
// the background: runCheck() starts it, polls its progress and, when asked to stop, skips it.
// Results of the wrong shape raise FileOperationError::invalidData; guest errors propagate.

#include <QByteArray>
#include <QString>

#include <qcoro/qcorotask.h>

#include <boost/json/value.hpp>

#include <chrono>
#include <functional>
#include <optional>
#include <stop_token>

namespace quorvale::guest {
class VsockTransport;
}

namespace quorvale::fileops {

// What the guest says of a filesystem check.
struct CheckStatus {
    enum class State { running, finished, cancelled };
    State state = State::running;
    int pass = 0;                 // e2fsck pass 1..5; 0 before the first
    int percent = 0;              // 0..100
    std::optional<int> exitCode;  // e2fsck's status once it ended
    QString output;               // e2fsck's output (bounded by the guest)
    QByteArray superblock;        // the superblock as the check found it (may be empty)
};

// Decodes a "check_status" result; nothing for another shape.
std::optional<CheckStatus> decodeCheckStatus(const boost::json::value& result);

// Every coroutine here takes its arguments by reference: await it at once, while they live.
class PartitionControl {
public:
    static constexpr std::chrono::milliseconds callTimeout = std::chrono::seconds(10);

    explicit PartitionControl(guest::VsockTransport& transport) : transport(transport) {}

    // Mounts the partition: read-only without touching the journal, or read-write replaying a
    // journal that needs recovery only when `replayJournal`. True when it ended up read-only.
    QCoro::Task<bool> mount(const QString& partition, bool readOnly, bool replayJournal);
    QCoro::Task<void> startCheck(const QString& partition);
    // The status now, or as soon as the check ends within `wait`.
    QCoro::Task<CheckStatus> checkStatus(const QString& partition,
                                         std::chrono::milliseconds wait = {});
    QCoro::Task<void> cancelCheck(const QString& partition);

    // Starts a check and reports its status at least every `interval` and as soon as it ends. A
    // stop request skips the check: the guest stops it and the cancelled status is returned.
    QCoro::Task<CheckStatus> runCheck(
        const QString& partition, const std::function<void(const CheckStatus&)>& progress,
        std::stop_token stop, std::chrono::milliseconds interval = std::chrono::milliseconds(250));

private:
    guest::VsockTransport& transport;
};

}  // namespace quorvale::fileops
