#include "guest/qemu_launcher.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <qcoro/qcoroprocess.h>
#include <QFile>
#include <QPointer>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <array>
#include <cstring>

#include "guest/host_virtualization.h"
#include "guest/qemu_disk.h"
#include "guest/vm_error.h"

namespace quorvale::guest {

namespace {

constexpr qsizetype stderrKept = 8192;

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

// 256 random bits as hex.
QByteArray randomSecret() {
    std::array<quint32, 8> words{};
    QRandomGenerator::system()->fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char*>(words.data()), sizeof words).toHex();
}

// Writes `bytes` to a new file only its owner may read; throws QemuError.
void writePrivateFile(const QString& path, const QByteArray& bytes) {
    const UniqueFd fd(::open(QFile::encodeName(path).constData(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd || ::write(fd.get(), bytes.constData(), static_cast<std::size_t>(bytes.size())) !=
                   bytes.size())
        throw QemuError(QemuError::Kind::startFailed,
                        "Cannot write the channel secret: " + std::string(std::strerror(errno)));
}

}  // namespace

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
        else if (name == QLatin1String("DEVICE_DELETED"))
            deletedDevices.insert(data.value(QStringLiteral("device")).toString());
        else if (name == QLatin1String("BLOCK_JOB_COMPLETED"))
            endedJobs[data.value(QStringLiteral("device")).toString()] =
                data.value(QStringLiteral("error")).toString();
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
    // A start() still under way keeps this object alive: the disks must not wait for it, or a
    // card stays claimed after its boot was ended.
    childFds.clear();
    options.disks.clear();
    held.clear();
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
    if (options.disks.size() > static_cast<std::size_t>(QemuConfig::diskSlots))
        throw VMError(VMError::Kind::diskAttachmentFailed,
                      "at most " + std::to_string(QemuConfig::diskSlots) + " disks at once");
    std::vector<std::uint64_t> sizes;
    for (const VMDisk& disk : options.disks) {
        QemuConfig::Disk described = describeDisk(disk);
        sizes.push_back(sizeAtHandOver(disk));
        for (const auto& other : qemuConfig.disks)
            if (other.name == described.name)
                throw VMError(VMError::Kind::diskAttachmentFailed,
                              disk.name.toStdString() + " is given twice");
        UniqueFd copy(::fcntl(disk.fd.get(), F_DUPFD_CLOEXEC, 3));
        if (!copy)
            throw VMError(VMError::Kind::diskAttachmentFailed, std::strerror(errno));
        described.fd = copy.get();
        childFds.push_back(std::move(copy));
        if (described.staged()) {
            UniqueFd overlay(::fcntl(disk.overlay.get(), F_DUPFD_CLOEXEC, 3));
            if (!overlay)
                throw VMError(VMError::Kind::diskAttachmentFailed, std::strerror(errno));
            described.overlayFd = overlay.get();
            childFds.push_back(std::move(overlay));
        }
        qemuConfig.disks.push_back(std::move(described));
    }

    const QString runtimeBase = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    runtimeDir =
        std::make_unique<QTemporaryDir>(runtimeBase + QStringLiteral("/quorvale-vm-XXXXXX"));
    if (!runtimeDir->isValid())
        throw QemuError(
            QemuError::Kind::startFailed,
            ("Cannot create a runtime directory: " + runtimeDir->errorString()).toStdString());

    secret = randomSecret();
    qemuConfig.channelSecretFile = runtimeDir->filePath(QStringLiteral("channel-secret"));
    writePrivateFile(qemuConfig.channelSecretFile, secret);

    qemuConfig.machine = QemuConfig::defaultMachine();
    qemuConfig.accel = chooseAccelerator();
    qemuConfig.kernel = options.kernel;
    qemuConfig.initramfs = options.initramfs;
    qemuConfig.consoleLog = options.consoleLog;
    qemuConfig.qmpSocket = runtimeDir->filePath(QStringLiteral("qmp.sock"));
    qemuConfig.agentPort = options.agentPort;
    qemuConfig.kernelCommandLine = options.kernelCommandLine;
    if (vhostVsockUsable())
        qemuConfig.vsockCid = nextGuestCid();
    else
        qemuConfig.agentSocket =
            runtimeDir->filePath(QStringLiteral("agent-%1.sock").arg(options.agentPort));

    std::vector<int> inherited;
    for (const UniqueFd& fd : childFds)
        inherited.push_back(fd.get());
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
    // QEMU holds its own descriptors and has read the secret now.
    ::unlink(QFile::encodeName(qemuConfig.channelSecretFile).constData());
    running = true;
    childFds.clear();
    for (std::size_t i = 0; i < options.disks.size(); ++i)
        held.hold(options.disks[i].name, std::move(options.disks[i].fd), sizes[i]);
    options.disks.clear();
    for (std::size_t i = 0; i < qemuConfig.disks.size(); ++i) {
        const auto& disk = qemuConfig.disks[i];
        const int index = static_cast<int>(i);
        diskSlots[index] = {disk.name, index, true};
        diskSlots[index].described = disk;
        if (disk.staged())
            diskSlots[index].overlayFdset = QemuConfig::overlayFdset(index);
    }
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
    held.clear();
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
