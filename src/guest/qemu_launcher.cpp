#include "guest/qemu_launcher.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <qcoro/qcoroprocess.h>
#include <qcoro/qcorotimer.h>
#include <QPointer>
#include <QStandardPaths>
#include <cstring>

#include "guest/vm_error.h"

namespace quorvale::guest {

namespace {

constexpr qsizetype stderrKept = 8192;

bool deviceUsable(const char* path) {
    const int fd = ::open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

uint32_t nextGuestCid() {
    // CIDs 0-2 are reserved; spread per process so two app instances do not collide.
    static uint32_t counter = 0;
    return 3 + (static_cast<uint32_t>(::getpid()) % 0xffffff) * 16 + (counter++ % 16);
}

// "qemu-system-x86_64: -drive file=...: Could not open ...: Permission denied" -> the message.
QString qemuMessage(QString line) {
    if (const qsizetype colon = line.indexOf(QStringLiteral(": ")); colon > 0)
        line = line.mid(colon + 2);
    if (line.startsWith('-'))
        if (const qsizetype colon = line.indexOf(QStringLiteral(": ")); colon > 0)
            line = line.mid(colon + 2);
    return line.trimmed();
}

}  // namespace

bool QemuLauncher::kvmUsable() {
    return deviceUsable("/dev/kvm");
}
bool QemuLauncher::vhostVsockUsable() {
    return deviceUsable("/dev/vhost-vsock");
}

QemuLauncher::QemuLauncher(Options options, QObject* parent)
    : QObject(parent), options(std::move(options)) {
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    connect(&process, &QProcess::readyReadStandardError, this, [this] {
        stderrText += process.readAllStandardError();
        if (stderrText.size() > stderrKept)
            stderrText = stderrText.right(stderrKept);
    });
    connect(&process, &QProcess::finished, this, &QemuLauncher::finished);
    connect(&qmp, &QmpClient::event, this, [this](const QString& name, const QJsonObject& data) {
        if (name == QLatin1String("GUEST_PANICKED"))
            panicked = true;
        else if (name == QLatin1String("SHUTDOWN"))
            lastShutdownReason = data.value(QStringLiteral("reason")).toString();
        Q_EMIT qmpEvent(name, data);
    });
}

QemuLauncher::~QemuLauncher() {
    terminate();
}

void QemuLauncher::terminate() {
    forcing = true;
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(2000);
    }
}

QCoro::Task<void> QemuLauncher::start() {
    QPointer self(this);
    const QString emulator = QemuConfig::systemEmulator();
    const QString binary = QStandardPaths::findExecutable(emulator);
    if (binary.isEmpty())
        throw QemuError(
            QemuError::Kind::notFound,
            (emulator + QStringLiteral(" not found in PATH; please install QEMU")).toStdString());

    // Each disk fd goes to QEMU as a CLOEXEC duplicate that only the child makes inheritable.
    for (const UniqueFd& disk : options.disks) {
        const int flags = ::fcntl(disk.get(), F_GETFL);
        struct stat st {};
        if (flags < 0 || ::fstat(disk.get(), &st) < 0)
            throw VMError(VMError::Kind::diskAttachmentFailed, std::strerror(errno));
        if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode))
            throw VMError(VMError::Kind::diskAttachmentFailed, std::strerror(ENOTBLK));
        UniqueFd copy(::fcntl(disk.get(), F_DUPFD_CLOEXEC, 3));
        if (!copy)
            throw VMError(VMError::Kind::diskAttachmentFailed, std::strerror(errno));
        const auto access = (flags & O_ACCMODE) == O_RDONLY ? QemuConfig::Access::readOnly
                                                            : QemuConfig::Access::readWrite;
        const auto medium =
            S_ISBLK(st.st_mode) ? QemuConfig::Medium::blockDevice : QemuConfig::Medium::imageFile;
        qemuConfig.disks.push_back({copy.get(), access, medium});
        childFds.push_back(std::move(copy));
    }

    const QString runtimeBase = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    runtimeDir =
        std::make_unique<QTemporaryDir>(runtimeBase + QStringLiteral("/quorvale-vm-XXXXXX"));
    if (!runtimeDir->isValid())
        throw QemuError(
            QemuError::Kind::startFailed,
            ("Cannot create a runtime directory: " + runtimeDir->errorString()).toStdString());

    qemuConfig.machine = QemuConfig::defaultMachine();
    qemuConfig.accel = kvmUsable() ? QemuConfig::Accel::kvm : QemuConfig::Accel::tcg;
    qemuConfig.kernel = options.kernel;
    qemuConfig.initramfs = options.initramfs;
    qemuConfig.consoleLog = options.consoleLog;
    qemuConfig.qmpSocket = runtimeDir->filePath(QStringLiteral("qmp.sock"));
    qemuConfig.agentPort = options.agentPort;
    if (vhostVsockUsable())
        qemuConfig.vsockCid = nextGuestCid();
    else
        qemuConfig.agentSocket =
            runtimeDir->filePath(QStringLiteral("agent-%1.sock").arg(options.agentPort));

    std::vector<int> inherited;
    for (const auto& disk : qemuConfig.disks)
        inherited.push_back(disk.fd);
    process.setChildProcessModifier([inherited] {
        for (int fd : inherited)
            ::fcntl(fd, F_SETFD, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    });
    process.setProgram(binary);
    process.setArguments(qemuArguments(qemuConfig));
    process.start();
    if (!co_await qCoro(process).waitForStarted(std::chrono::seconds(10)))
        throw QemuError(QemuError::Kind::startFailed,
                        (emulator + QStringLiteral(": ") + process.errorString()).toStdString());
    if (!self)
        co_return;

    // QEMU answers QMP once the machine and its devices are set up.
    try {
        co_await qmp.connectTo(qemuConfig.qmpSocket, std::chrono::seconds(15),
                               [this] { return process.state() == QProcess::Running; });
    } catch (const QemuError&) {
        if (!self)
            throw;
        forcing = true;
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(2000);
        }
        const QString message = qemuMessage(stderrTail());
        if (message.contains(QStringLiteral("/dev/fdset/")) ||
            message.contains(QStringLiteral("disk")))
            throw VMError(VMError::Kind::diskAttachmentFailed, message.toStdString());
        throw QemuError(QemuError::Kind::startFailed,
                        (emulator + QStringLiteral(" failed to start: ") + message).toStdString());
    }
    // QEMU holds its own descriptors now.
    running = true;
    childFds.clear();
    options.disks.clear();
}

QCoro::Task<void> QemuLauncher::requestStop() {
    co_await qmp.execute(QStringLiteral("system_powerdown"));
}

QCoro::Task<void> QemuLauncher::forceStop() {
    QPointer self(this);
    forcing = true;
    if (process.state() == QProcess::NotRunning)
        co_return;
    forced = true;
    try {
        co_await qmp.execute(QStringLiteral("quit"), {}, std::chrono::seconds(1));
    } catch (const QemuError&) {
        // Not answering QMP: the kill below ends it.
    }
    if (!self)
        co_return;
    if (process.state() != QProcess::NotRunning &&
        !co_await qCoro(process).waitForFinished(std::chrono::seconds(1))) {
        if (!self)
            co_return;
        process.kill();
        lastShutdownReason = QStringLiteral("killed");
        co_await qCoro(process).waitForFinished(std::chrono::seconds(2));
    }
}

bool QemuLauncher::canRequestStop() const {
    return process.state() == QProcess::Running && qmp.isConnected();
}

QString QemuLauncher::stderrTail() const {
    const QStringList lines = QString::fromLocal8Bit(stderrText).split('\n', Qt::SkipEmptyParts);
    return lines.isEmpty() ? QString() : lines.last();
}

void QemuLauncher::finished(int exitCode, QProcess::ExitStatus status) {
    childFds.clear();
    stderrText += process.readAllStandardError();
    qmp.drain();
    if (forcing || !running)
        return;
    if (status == QProcess::NormalExit && exitCode == 0) {
        Q_EMIT guestStopped();
        return;
    }
    QString description;
    if (panicked)
        description = QStringLiteral("Guest kernel panic");
    else if (status == QProcess::CrashExit)
        description = QStringLiteral("QEMU terminated unexpectedly");
    else
        description = QStringLiteral("QEMU exited with status %1").arg(exitCode);
    if (const QString message = qemuMessage(stderrTail()); !panicked && !message.isEmpty())
        description += QStringLiteral(": ") + message;
    Q_EMIT stoppedWithError(description);
}

}  // namespace quorvale::guest
