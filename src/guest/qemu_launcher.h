#pragma once
// One QEMU process running the guest VM: starts it with the disk fds handed over (-add-fd),
// talks QMP for the stop request and the forced stop, and reports how the process ended:
// on its own after a guest power-off (guestStopped) or any other way (stoppedWithError).
// A forced stop reports nothing. QEMU dies with this process (PR_SET_PDEATHSIG).

#include <qcoro/qcorotask.h>
#include <QObject>
#include <QProcess>
#include <QTemporaryDir>
#include <chrono>
#include <memory>
#include <optional>
#include <vector>

#include "guest/qemu_command.h"
#include "guest/qmp_client.h"
#include "rpc/unique_fd.h"

namespace quorvale::guest {

class QemuLauncher : public QObject {
    Q_OBJECT

public:
    struct Options {
        QString kernel;
        QString initramfs;
        QString consoleLog;
        std::vector<UniqueFd> disks;
        uint32_t agentPort = 5000;
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

    // Kills QEMU at once, reporting nothing (the owner is going away).
    void terminate();

    bool canRequestStop() const;
    bool isStopped() const { return process.state() == QProcess::NotRunning; }
    qint64 processId() const { return process.processId(); }
    const QemuConfig& config() const { return qemuConfig; }
    // How the guest is reached: a vsock CID, or the Unix socket bridging the virtio-serial port.
    std::optional<uint32_t> vsockCid() const { return qemuConfig.vsockCid; }
    QString agentSocketPath() const { return qemuConfig.agentSocket; }
    // Last QMP SHUTDOWN reason ("guest-shutdown", "host-qmp-quit", ...) or "killed".
    QString shutdownReason() const { return lastShutdownReason; }
    // Whether forceStop() had to end QEMU.
    bool wasForced() const { return forced; }

    static bool kvmUsable();
    static bool vhostVsockUsable();

Q_SIGNALS:
    void guestStopped();
    void stoppedWithError(const QString& description);
    // Every QMP event, e.g. VSERPORT_CHANGE when the guest opens a virtio-serial port.
    void qmpEvent(const QString& name, const QJsonObject& data);

private:
    void finished(int exitCode, QProcess::ExitStatus status);
    QString stderrTail() const;

    Options options;
    QemuConfig qemuConfig;
    QProcess process;
    QmpClient qmp;
    std::unique_ptr<QTemporaryDir> runtimeDir;
    std::vector<UniqueFd> childFds;  // CLOEXEC duplicates made inheritable in QEMU only
    QByteArray stderrText;
    QString lastShutdownReason;
    bool running = false;  // start() succeeded: an exit from now on is reported
    bool forcing = false;
    bool forced = false;
    bool panicked = false;
};

}  // namespace quorvale::guest
