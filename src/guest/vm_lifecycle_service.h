#pragma once
// Owns the guest VM (a QEMU process) on the GUI thread: boots it with the raw disk fds attached in
// order, publishes its state as `status`, stops it (power-button request, 2 s grace, then force),
// hands out stream connections to the guest agent, and turns QEMU ending by itself into
// `stopped` (guest power-off) or `error` (QEMU died, guest panic).

#include <qcoro/qcorotask.h>
#include <QLoggingCategory>
#include <QObject>
#include <cstdint>
#include <memory>
#include <vector>

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

    // Boots the VM with one virtio block device per fd, in order (read-only fds stay read-only).
    // Returns once QEMU has set the machine up; returns at once when already running.
    QCoro::Task<void> bootVM(std::vector<UniqueFd> diskHandles);
    // Stops the VM if there is one; never throws; always ends in `stopped`.
    QCoro::Task<void> stopVM();
    // A new stream connection to `port` in the guest; replaces (shuts down) the previous one.
    // Throws VMError(vmNotRunning) or VMError(vsockConnectionFailed).
    QCoro::Task<UniqueFd> connectVsock(uint32_t port);

    // Where the guest console is written (emptied at each boot).
    static QString consoleLogPath();
    // The running (or starting) VM, for diagnostics and tests.
    const QemuLauncher* virtualMachine() const { return machine.get(); }

    // Whether the last stopVM() had to force the VM off (the guest ignored the request).
    bool lastStopWasForced() const { return lastStopForced; }

    uint32_t vsockPort = 5000;

Q_SIGNALS:
    void statusChanged();

private:
    void setStatus(VMStatus status);
    void fail(const std::exception& error);
    void guestDidStop(const QemuLauncher* vm);
    void didStopWithError(const QemuLauncher* vm, const QString& description);
    static QString prepareConsoleLog();

    VMResources resources;
    VMStatus vmStatus;
    std::shared_ptr<QemuLauncher> machine;  // `virtualMachine`
    UniqueFd vsockConnection;               // our copy of the last connection handed out
    bool lastStopForced = false;
};

}  // namespace quorvale::guest
