#pragma once
// One QEMU process running the guest VM: starts it with the disk fds handed over (-add-fd),
// plugs disks in and out while it runs (QMP: the fd passed over the socket, blockdev-add,
// device_add; device_del, blockdev-del, remove-fd), talks QMP for the stop request and the
// forced stop, and reports how the process ended: on its own after a guest power-off
// (guestStopped) or any other way (stoppedWithError). A forced stop reports nothing. QEMU dies
// with this process (PR_SET_PDEATHSIG).

#include <qcoro/qcorotask.h>
#include <QObject>
#include <QProcess>
#include <QTemporaryDir>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "guest/held_disks.h"
#include "guest/qemu_command.h"
#include "guest/qmp_client.h"
#include "guest/vm_disk.h"
#include "rpc/unique_fd.h"

namespace quorvale::guest {

class QemuLauncher : public QObject {
    Q_OBJECT

public:
    struct Options {
        QString kernel;
        QString initramfs;
        QString consoleLog;
        std::vector<VMDisk> disks;
        uint32_t agentPort = 5000;
        QString kernelCommandLine;  // empty: the default for the accelerator
    };

    explicit QemuLauncher(Options options, QObject* parent = nullptr);
    ~QemuLauncher() override;

    // Validates the disk fds, starts QEMU and returns once its machine is set up. Throws
    // VMError(diskAttachmentFailed) for an unusable fd, QemuError otherwise.
    QCoro::Task<void> start();
    // Asks the guest to power off (ACPI power button); throws QemuError when QMP fails.
    QCoro::Task<void> requestStop();
    // Ends QEMU: QMP "quit", then SIGKILL if it is still there after a second.
    QCoro::Task<void> forceStop();
    // Plugs the disk into a free slot of the running VM. Throws VMError(diskAttachmentFailed)
    // carrying QEMU's own text when QEMU refuses; nothing stays behind after a failure.
    QCoro::Task<void> attachDisk(VMDisk disk);
    // Unplugs the disk: waits until the guest has let go of the device (DEVICE_DELETED), then
    // drops its block node and descriptor. Throws QemuError when QEMU refuses or the guest does
    // not let go within `timeout`.
    QCoro::Task<void> detachDisk(QString name,
                                 std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Writes a staged disk's overlay into the disk below it while the guest runs (an active
    // commit): `writable`, the same disk opened read-write, joins the disk's fd set so that its
    // node reopens writable; the commit job runs, reporting `progress` (bytes done, bytes in
    // all), until it is ready; it is completed, and the overlay leaves the VM: the device then
    // writes to the disk directly. Throws QemuError with QEMU's text; a failure leaves the
    // overlay whole and in place (the disk may hold part of it) and the disk read-only again.
    QCoro::Task<void> commitOverlay(QString name, UniqueFd writable,
                                    std::function<void(quint64 done, quint64 total)> progress);
    // Whether the disk is attached with an overlay (not yet committed).
    bool isStaged(const QString& name) const;
    // Names of the disks the VM holds, in slot order (not those still being plugged in).
    QStringList diskNames() const;
    // Throws VMError(diskRemoved) when the disk of `device` (a whole-disk or partition name;
    // none: every disk) no longer has the size it had when the VM was given it. The guest reads
    // zeros, not errors, past the end of a disk that shrank.
    void checkDisks(const std::optional<QString>& device) const { held.check(device); }

    // Kills QEMU at once, reporting nothing, and closes the disk descriptors it was given.
    void terminate();

    bool canRequestStop() const;
    bool isStopped() const { return process.state() == QProcess::NotRunning; }
    qint64 processId() const { return process.processId(); }
    const QemuConfig& config() const { return qemuConfig; }
    // How the guest is reached: a vsock CID, or the Unix socket bridging the virtio-serial port.
    std::optional<uint32_t> vsockCid() const { return qemuConfig.vsockCid; }
    QString agentSocketPath() const { return qemuConfig.agentSocket; }
    // This boot's channel secret (hex), which a connection must show the agent first. Made
    // afresh by start(); it reaches the guest through a 0600 file in the private runtime
    // directory that QEMU reads at start-up and that is removed right after.
    QByteArray channelSecret() const { return secret; }
    // Last QMP SHUTDOWN reason ("guest-shutdown", "host-qmp-quit", ...) or "killed".
    QString shutdownReason() const { return lastShutdownReason; }
    // Whether forceStop() had to end QEMU.
    bool wasForced() const { return forced; }

Q_SIGNALS:
    void guestStopped();
    void stoppedWithError(const QString& description);
    // Every QMP event, e.g. VSERPORT_CHANGE when the guest opens a virtio-serial port.
    void qmpEvent(const QString& name, const QJsonObject& data);

private:
    struct Plugged {
        QString name;
        int fdset = -1;
        bool plugged = false;    // the guest has the device (or is being given it at boot)
        bool leaving = false;    // device_del sent
        int overlayFdset = -1;   // staged: the overlay's fd set
        bool committed = false;  // staged, then committed: the device is on the card node
        QemuConfig::Disk described{};
    };
    // What an attached disk holds in QEMU, for taking it out again.
    struct Backend {
        QString name;
        int fdset = -1;
        int overlayFdset = -1;
        bool topNode = false;   // the node the device is on (the overlay when staged)
        bool cardNode = false;  // a staged disk's raw node
    };
    static Backend backendOf(const Plugged& disk);

    void finished(int exitCode, QProcess::ExitStatus status);
    QString stderrTail() const;
    // Removes what an attach or detach left in QEMU; failures are ignored.
    QCoro::Task<void> dropBackend(Backend backend);
    // Waits for the commit job `id` to end, completing it once ready; throws its error.
    QCoro::Task<void> runCommitJob(QString id,
                                   std::function<void(quint64 done, quint64 total)> progress);

    Options options;
    QemuConfig qemuConfig;
    QProcess process;
    QmpClient qmp;
    std::unique_ptr<QTemporaryDir> runtimeDir;
    std::vector<UniqueFd> childFds;        // CLOEXEC duplicates made inheritable in QEMU only
    HeldDisks held;                        // the disks given to the running QEMU, until it ends
    std::map<int, Plugged> diskSlots;      // by slot index
    std::set<QString> deletedDevices;      // DEVICE_DELETED seen, by device id
    std::map<QString, QString> endedJobs;  // BLOCK_JOB_COMPLETED seen: job id, error text
    QByteArray stderrText;
    QByteArray secret;
    QString lastShutdownReason;
    bool running = false;  // start() succeeded: an exit from now on is reported
    bool forcing = false;
    bool forced = false;
    bool panicked = false;
};

}  // namespace quorvale::guest
