#include "guest/vm_lifecycle_service.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <qcoro/qcorotimer.h>
#include <QPointer>
#include <QStandardPaths>
#include <system_error>

#include "guest/console_log.h"
#include "guest/qemu_launcher.h"
#include "guest/stream_connector.h"

Q_LOGGING_CATEGORY(lcVM, "com.quorvale.app.VM")

namespace quorvale::guest {

namespace {

constexpr auto stopGrace = std::chrono::seconds(2);

const char* text(const std::exception& error) {
    return error.what();
}

}  // namespace

VMLifecycleService::VMLifecycleService(QObject* parent)
    : VMLifecycleService(VMResources::forApplication(), parent) {}

VMLifecycleService::VMLifecycleService(VMResources resources, QObject* parent)
    : QObject(parent), resources(std::move(resources)) {
    qRegisterMetaType<VMStatus>();
}

VMLifecycleService::~VMLifecycleService() {
    if (machine)
        machine->terminate();
}

QString VMLifecycleService::consoleLogPath() const {
    if (!privateDirectory)
        return {};
    return privateDirectory->filePath(QLatin1String(consoleLogName));
}

void VMLifecycleService::setStatus(VMStatus status) {
    if (status == vmStatus)
        return;
    vmStatus = std::move(status);
    Q_EMIT statusChanged();
}

void VMLifecycleService::fail(const std::exception& error) {
    setStatus(VMStatus::error(QString::fromStdString(error.what())));
    qCCritical(lcVM, "VM boot failed: %s", text(error));
}

QString VMLifecycleService::prepareConsoleLog() {
    // A new, empty file at every boot; without one the console goes nowhere.
    if (!privateDirectory) {
        const QString base = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
        privateDirectory =
            std::make_unique<QTemporaryDir>(base + QStringLiteral("/quorvale-XXXXXX"));
        if (!privateDirectory->isValid()) {
            privateDirectory.reset();
            return QStringLiteral("/dev/null");
        }
    }
    return createConsoleLog(privateDirectory->path()).value_or(QStringLiteral("/dev/null"));
}

QCoro::Task<void> VMLifecycleService::bootVM(std::vector<VMDisk> diskHandles) {
    QPointer self(this);
    if (vmStatus.state == VMStatus::State::running) {
        qCInfo(lcVM, "VM already running");
        co_return;
    }
    setStatus(VMStatus::booting());
    qCInfo(lcVM, "Booting VM with %ld disk(s)", static_cast<long>(diskHandles.size()));

    std::shared_ptr<QemuLauncher> vm;
    try {
        const auto kernel = resources.kernel();
        if (!kernel)
            throw VMError(VMError::Kind::kernelNotFound);
        const auto initramfs = resources.initramfs();
        if (!initramfs)
            throw VMError(VMError::Kind::initramfsNotFound);
        const QString consoleLog = prepareConsoleLog();
        qCInfo(lcVM, "VM serial console logging to: %s", qUtf8Printable(consoleLog));
        QemuLauncher::Options options{
            *kernel, *initramfs, consoleLog, std::move(diskHandles), vsockPort, kernelCommandLine};
        vm = std::shared_ptr<QemuLauncher>(new QemuLauncher(std::move(options)),
                                           [](QemuLauncher* launcher) { launcher->deleteLater(); });
    } catch (const std::exception& error) {
        fail(error);
        throw;
    }

    const QemuLauncher* key = vm.get();
    connect(vm.get(), &QemuLauncher::guestStopped, this, [this, key] { guestDidStop(key); });
    connect(vm.get(), &QemuLauncher::stoppedWithError, this,
            [this, key](const QString& description) { didStopWithError(key, description); });
    if (machine)
        machine->terminate();
    machine = vm;

    try {
        co_await vm->start();
    } catch (const std::exception& error) {
        // A boot ended by abortVM() or replaced by another one reports nothing here.
        if (!self || machine != vm)
            throw;
        if (const auto* vmError = dynamic_cast<const VMError*>(&error);
            vmError && vmError->kind == VMError::Kind::diskAttachmentFailed)
            qCCritical(lcVM, "Failed to create disk attachment: %s", vmError->detail.c_str());
        fail(error);
        throw;
    }
    if (!self || machine != vm)
        co_return;
    setStatus(VMStatus::running());
    qCInfo(lcVM, "VM booted successfully");
}

QCoro::Task<void> VMLifecycleService::attachDisk(VMDisk disk) {
    const std::shared_ptr<QemuLauncher> vm = machine;
    if (!vm || vm->isStopped() || vmStatus.state != VMStatus::State::running)
        throw VMError(VMError::Kind::vmNotRunning);
    const QString name = disk.name;
    qCInfo(lcVM, "Attaching disk %s", qUtf8Printable(name));
    try {
        co_await vm->attachDisk(std::move(disk));
    } catch (const std::exception& error) {
        qCCritical(lcVM, "Failed to attach disk %s: %s", qUtf8Printable(name), error.what());
        throw;
    }
    qCInfo(lcVM, "Disk %s attached", qUtf8Printable(name));
}

QCoro::Task<void> VMLifecycleService::detachDisk(QString name) {
    const std::shared_ptr<QemuLauncher> vm = machine;
    if (!vm || vm->isStopped() || !vm->diskNames().contains(name))
        co_return;
    qCInfo(lcVM, "Detaching disk %s", qUtf8Printable(name));
    co_await vm->detachDisk(name);
    qCInfo(lcVM, "Disk %s detached", qUtf8Printable(name));
}

QCoro::Task<void> VMLifecycleService::commitOverlay(
    QString name, UniqueFd writable, std::function<void(quint64 done, quint64 total)> progress) {
    const std::shared_ptr<QemuLauncher> vm = machine;
    if (!vm || vm->isStopped() || !vm->diskNames().contains(name))
        throw VMError(VMError::Kind::vmNotRunning);
    qCInfo(lcVM, "Committing the overlay of %s", qUtf8Printable(name));
    try {
        co_await vm->commitOverlay(name, std::move(writable), std::move(progress));
    } catch (const std::exception& error) {
        qCCritical(lcVM, "Commit of %s failed: %s", qUtf8Printable(name), error.what());
        throw;
    }
    qCInfo(lcVM, "Overlay of %s committed", qUtf8Printable(name));
}

QStringList VMLifecycleService::diskNames() const {
    return machine && !machine->isStopped() ? machine->diskNames() : QStringList();
}

void VMLifecycleService::checkDisks(const std::optional<QString>& device) const {
    if (machine)
        machine->checkDisks(device);
}

void VMLifecycleService::abortVM() {
    if (!machine)
        return;
    qCInfo(lcVM, "Stopping VM");
    machine->terminate();
    lastStopForced = true;
    vsockConnection.reset();
    machine.reset();
    setStatus(VMStatus::stopped());
    qCInfo(lcVM, "VM stopped");
}

QCoro::Task<void> VMLifecycleService::stopVM() {
    QPointer self(this);
    const std::shared_ptr<QemuLauncher> vm = machine;
    if (!vm)
        co_return;
    qCInfo(lcVM, "Stopping VM");
    stopping = true;

    QString stopError;
    if (vm->canRequestStop()) {
        try {
            co_await vm->requestStop();
            // The guest syncs, unmounts and powers off; QEMU then exits by itself.
            const auto deadline = std::chrono::steady_clock::now() + stopGrace;
            while (!vm->isStopped() && std::chrono::steady_clock::now() < deadline)
                co_await QCoro::sleepFor(std::chrono::milliseconds(20));
        } catch (const std::exception& error) {
            stopError = QString::fromUtf8(error.what());
        }
    }
    // Whatever went wrong above, a VM is never left running behind a `stopped` status.
    if (!vm->isStopped()) {
        co_await vm->forceStop();
        if (!vm->isStopped() && stopError.isEmpty())
            stopError = QStringLiteral("QEMU did not stop");
    }
    if (!stopError.isEmpty())
        qCCritical(lcVM, "VM stop error: %s", qUtf8Printable(stopError));
    if (!self)
        co_return;
    stopping = false;
    lastStopForced = vm->wasForced();
    vsockConnection.reset();
    if (machine == vm)
        machine.reset();
    setStatus(VMStatus::stopped());
    qCInfo(lcVM, "VM stopped");
}

QCoro::Task<UniqueFd> VMLifecycleService::connectVsock(uint32_t port) {
    QPointer self(this);
    const std::shared_ptr<QemuLauncher> vm = machine;
    if (!vm || vm->isStopped())
        throw VMError(VMError::Kind::vmNotRunning);
    UniqueFd stream;
    try {
        if (const auto cid = vm->vsockCid())
            stream = co_await connectVsockStream(*cid, port);
        else if (port == vm->config().agentPort)
            stream = co_await connectUnixStream(vm->agentSocketPath());
        else
            throw std::system_error(ECONNREFUSED, std::generic_category());
    } catch (const std::system_error& error) {
        throw VMError(VMError::Kind::vsockConnectionFailed, error.code().message());
    }
    if (!self)
        co_return stream;
    // One agent stream at a time: the previous one ends here (a virtio-serial port takes the
    // next host only then).
    if (vsockConnection)
        ::shutdown(vsockConnection.get(), SHUT_RDWR);
    vsockConnection.reset();
    // Every local user can connect to the guest: the stream serves only once it has shown the
    // agent this boot's secret.
    const auto refused = co_await proveChannelSecret(stream.get(), vm->channelSecret());
    if (refused)
        throw VMError(VMError::Kind::vsockConnectionFailed, *refused);
    if (!self)
        co_return stream;
    vsockConnection = UniqueFd(::fcntl(stream.get(), F_DUPFD_CLOEXEC, 0));
    co_return stream;
}

void VMLifecycleService::guestDidStop(const QemuLauncher* vm) {
    if (machine.get() != vm)
        return;
    qCInfo(lcVM, "VM guest stopped");
    setStatus(VMStatus::stopped());
    machine.reset();
    if (!stopping)
        Q_EMIT stoppedUnexpectedly(QStringLiteral("the guest powered off"));
}

void VMLifecycleService::didStopWithError(const QemuLauncher* vm, const QString& description) {
    if (machine.get() != vm)
        return;
    qCCritical(lcVM, "VM stopped with error: %s", qUtf8Printable(description));
    setStatus(VMStatus::error(description));
    machine.reset();
    if (!stopping)
        Q_EMIT stoppedUnexpectedly(description);
}

}  // namespace quorvale::guest
