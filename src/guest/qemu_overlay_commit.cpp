// QemuLauncher: a staged disk's overlay written into the disk below it while the guest runs.

#include <fcntl.h>

#include <qcoro/qcorotimer.h>
#include <QJsonArray>
#include <QPointer>
#include <algorithm>

#include "guest/qemu_launcher.h"
#include "guest/vm_error.h"

namespace quorvale::guest {

QCoro::Task<void> QemuLauncher::commitOverlay(
    QString name, UniqueFd writable, std::function<void(quint64 done, quint64 total)> progress) {
    QPointer self(this);
    auto found = std::find_if(diskSlots.begin(), diskSlots.end(),
                              [&](const auto& entry) { return entry.second.name == name; });
    if (found == diskSlots.end() || !found->second.plugged || found->second.overlayFdset < 0)
        throw QemuError(QemuError::Kind::qmpFailed,
                        (name + QStringLiteral(" has no overlay to commit")).toStdString());
    if ((::fcntl(writable.get(), F_GETFL) & O_ACCMODE) != O_RDWR)
        throw QemuError(QemuError::Kind::qmpFailed,
                        (name + QStringLiteral(" was not opened for writing")).toStdString());
    const int slot = found->first;
    const QemuConfig::Disk described = found->second.described;
    const int fdset = found->second.fdset;
    const int overlayFdset = found->second.overlayFdset;
    const QString cardFile = QStringLiteral("/dev/fdset/%1").arg(fdset);

    // QEMU picks the descriptor of a set by access mode: with a read-write one in the set, the
    // card's node can be reopened writable.
    QJsonObject addFd;
    addFd.insert(QStringLiteral("fdset-id"), fdset);
    addFd.insert(QStringLiteral("opaque"), name + QStringLiteral("-writable"));
    const QJsonObject added =
        co_await qmp.executeWithFd(QStringLiteral("add-fd"), addFd, writable.get());
    writable = UniqueFd();
    if (!self)
        throw VMError(VMError::Kind::vmNotRunning);
    const int writableFd = added.value(QStringLiteral("fd")).toInt(-1);

    const QString job = QStringLiteral("commit-") + name;
    std::optional<std::string> failure;
    try {
        QJsonObject reopen;
        reopen.insert(QStringLiteral("options"),
                      QJsonArray{writableCardOptions(described, cardFile)});
        co_await qmp.execute(QStringLiteral("blockdev-reopen"), reopen);
        if (!self)
            throw VMError(VMError::Kind::vmNotRunning);
        endedJobs.erase(job);
        QJsonObject commit;
        commit.insert(QStringLiteral("job-id"), job);
        commit.insert(QStringLiteral("device"), QemuConfig::nodeName(name));
        co_await qmp.execute(QStringLiteral("block-commit"), commit);
        if (!self)
            throw VMError(VMError::Kind::vmNotRunning);
        co_await runCommitJob(job, progress);
    } catch (const QemuError& error) {
        if (!self)
            throw;
        failure = error.what();
    }
    if (!self)
        throw VMError(VMError::Kind::vmNotRunning);
    if (failure) {
        // The card goes back to read-only; the overlay stays for another try.
        try {
            QJsonObject reopen;
            reopen.insert(
                QStringLiteral("options"),
                QJsonArray{blockdevNodes(described, cardFile,
                                         QStringLiteral("/dev/fdset/%1").arg(overlayFdset))
                               .front()});
            co_await qmp.execute(QStringLiteral("blockdev-reopen"), reopen);
        } catch (const QemuError&) {
        }
        if (self && writableFd >= 0) {
            QJsonObject remove;
            remove.insert(QStringLiteral("fdset-id"), fdset);
            remove.insert(QStringLiteral("fd"), writableFd);
            try {
                co_await qmp.execute(QStringLiteral("remove-fd"), remove);
            } catch (const QemuError&) {
            }
        }
        throw QemuError(QemuError::Kind::qmpFailed,
                        "commit of " + name.toStdString() + " failed: " + *failure);
    }
    // The device writes to the card now; the overlay's node and descriptor go.
    diskSlots[slot].committed = true;
    diskSlots[slot].overlayFdset = -1;
    Backend overlay{name, -1, overlayFdset};
    overlay.topNode = true;
    co_await dropBackend(overlay);
}

QCoro::Task<void> QemuLauncher::runCommitJob(
    QString id, std::function<void(quint64 done, quint64 total)> progress) {
    QPointer self(this);
    bool completing = false;
    for (;;) {
        const QJsonArray jobs = co_await qmp.executeForList(QStringLiteral("query-block-jobs"));
        if (!self)
            throw VMError(VMError::Kind::vmNotRunning);
        std::optional<QJsonObject> current;
        for (const QJsonValue& entry : jobs)
            if (entry.toObject().value(QStringLiteral("device")).toString() == id)
                current = entry.toObject();
        if (!current) {
            const auto ended = endedJobs.find(id);
            if (ended == endedJobs.end())
                throw QemuError(QemuError::Kind::qmpFailed, "the commit job vanished");
            const QString error = ended->second;
            endedJobs.erase(ended);
            if (!error.isEmpty())
                throw QemuError(QemuError::Kind::qmpFailed, error.toStdString());
            co_return;
        }
        const auto total = static_cast<quint64>(current->value(QStringLiteral("len")).toDouble());
        const auto done = static_cast<quint64>(current->value(QStringLiteral("offset")).toDouble());
        if (progress)
            progress(done, total);
        const QString status = current->value(QStringLiteral("status")).toString();
        if (status == QLatin1String("ready") && !completing) {
            completing = true;
            QJsonObject complete;
            complete.insert(QStringLiteral("id"), id);
            co_await qmp.execute(QStringLiteral("job-complete"), complete);
            if (!self)
                throw VMError(VMError::Kind::vmNotRunning);
            continue;
        }
        if (isStopped())
            throw QemuError(QemuError::Kind::qmpFailed, "QEMU ended during the commit");
        co_await QCoro::sleepFor(std::chrono::milliseconds(100));
        if (!self)
            throw VMError(VMError::Kind::vmNotRunning);
    }
}

}  // namespace quorvale::guest
