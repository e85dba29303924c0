#pragma once
// Owns the guest VM (a QEMU process) on the GUI thread: boots it with the raw disks attached in
// order, plugs further disks in and out while it runs, publishes its state as `status`, stops it
// (power-button request, 2 s grace, then force) or ends a boot at once, hands out stream
// connections to the guest agent, and turns QEMU ending by itself into `stopped` (guest
// power-off) or `error` (QEMU died, guest panic); either, when nobody asked for a stop, is also
// reported by stoppedUnexpectedly.

#include <qcoro/qcorotask.h>
#include <QLoggingCategory>
#include <QObject>
#include <QTemporaryDir>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "guest/qemu_command.h"
#include "guest/vm_disk.h"
#include "guest/vm_error.h"
#include "guest/vm_resources.h"
#include "guest/vm_status.h"
#include "rpc/unique_fd.h"

Q_DECLARE_LOGGING_CATEGORY(lcVM)

namespace quorvale::guest {

class QemuLauncher;

class VMLifecycleService : public QObject {
    Q_OBJECT
    Q_PROPERTY(quorvale::guest::VMStatus status READ status NOTIFY statusChanged)

public:
    explicit VMLifecycleService(QObject* parent = nullptr);
    VMLifecycleService(VMResources resources, QObject* parent = nullptr);
    ~VMLifecycleService() override;

    VMStatus status() const { return vmStatus; }

    // Boots the VM with one virtio block device per disk, in order (read-only fds stay
    // read-only). Returns once QEMU has set the machine up; returns at once when already running.
    QCoro::Task<void> bootVM(std::vector<VMDisk> diskHandles);
    // Plugs a disk into the running VM; throws VMError (vmNotRunning, diskAttachmentFailed with
    // QEMU's text).
    QCoro::Task<void> attachDisk(VMDisk disk);
    // Unplugs a disk from the running VM once the guest has let go of it; throws when QEMU or
    // the guest refuses. Nothing to do for a disk the VM does not hold.
    QCoro::Task<void> detachDisk(QString name);
    // Writes a staged disk's overlay into the disk through `writable` (QemuLauncher::
    // commitOverlay); throws VMError(vmNotRunning) or QemuError.
    QCoro::Task<void> commitOverlay(QString name, UniqueFd writable,
                                    std::function<void(quint64 done, quint64 total)> progress);
    // The disks the running VM holds.
    QStringList diskNames() const;
    // Throws VMError(diskRemoved) when the disk of `device` (a whole-disk or partition name;
    // none: every disk) is no longer the size it was when the VM was given it: a card pulled
    // from its reader reads as zeros in the guest, not as errors. Nothing to check without a VM.
    void checkDisks(const std::optional<QString>& device = {}) const;
    // Stops the VM if there is one; never throws; always ends in `stopped`.
    QCoro::Task<void> stopVM();
    // Ends the VM at once, without asking the guest (a boot being cancelled: nothing is
    // mounted yet); always ends in `stopped`.
    void abortVM();
    // A new stream connection to `port` in the guest; replaces (shuts down) the previous one.
    // The connection has shown the agent the channel secret of this boot before it is returned.
    // Throws VMError(vmNotRunning) or VMError(vsockConnectionFailed).
    QCoro::Task<UniqueFd> connectVsock(uint32_t port);

    // Where the guest console is written (emptied at each boot): a file in a directory private
    // to this service, made at its first boot; empty before.
    QString consoleLogPath() const;
    // The running (or starting) VM, for diagnostics and tests.
    const QemuLauncher* virtualMachine() const { return machine.get(); }

    // Whether the last stopVM() had to force the VM off (the guest ignored the request).
    bool lastStopWasForced() const { return lastStopForced; }

    uint32_t vsockPort = 5000;
    // The guest kernel's command line; empty: the default for the accelerator (benchmarks
    // compare others).
    QString kernelCommandLine;

Q_SIGNALS:
    void statusChanged();
    // The VM ended without a stop request: the guest powered off, QEMU died or the guest
    // kernel panicked. `cause` says which.
    void stoppedUnexpectedly(const QString& cause);

private:
    void setStatus(VMStatus status);
    void fail(const std::exception& error);
    void guestDidStop(const QemuLauncher* vm);
    void didStopWithError(const QemuLauncher* vm, const QString& description);
    QString prepareConsoleLog();

    VMResources resources;
    VMStatus vmStatus;
    std::shared_ptr<QemuLauncher> machine;            // `virtualMachine`
    UniqueFd vsockConnection;                         // our copy of the last connection handed out
    std::unique_ptr<QTemporaryDir> privateDirectory;  // 0700, holds the console log
    bool lastStopForced = false;
    bool stopping = false;  // inside stopVM()
};

}  // namespace quorvale::guest
