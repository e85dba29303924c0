#include "guest/qemu_launcher.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <qcoro/qcoroprocess.h>
#include <qcoro/qcorotimer.h>
#include <QFile>
#include <QJsonArray>
#include <QPointer>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <algorithm>
#include <array>
#include <cstring>

#include "guest/vm_error.h"
#include "rpc/device_name.h"

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

// What QEMU needs to know of a disk; refuses names and descriptors it cannot use.
QemuConfig::Disk describeDisk(const VMDisk& disk) {
    if (!rpc::isWholeDiskName(disk.name.toStdString()))
        throw VMError(VMError::Kind::diskAttachmentFailed,
                      "not a whole-disk name: \"" + disk.name.toStdString() + "\"");
    const int flags = ::fcntl(disk.fd.get(), F_GETFL);
    struct stat st {};
    if (flags < 0 || ::fstat(disk.fd.get(), &st) < 0)
        throw VMError(VMError::Kind::diskAttachmentFailed, std::strerror(errno));
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode))
        throw VMError(VMError::Kind::diskAttachmentFailed, std::strerror(ENOTBLK));
    QemuConfig::Disk described;
    if (disk.overlay) {
        struct stat overlay {};
        if (::fstat(disk.overlay.get(), &overlay) < 0 || !S_ISREG(overlay.st_mode) ||
            (::fcntl(disk.overlay.get(), F_GETFL) & O_ACCMODE) != O_RDWR)
            throw VMError(VMError::Kind::diskAttachmentFailed,
                          "the overlay of " + disk.name.toStdString() + " is not a writable file");
        if ((flags & O_ACCMODE) != O_RDONLY)
            throw VMError(VMError::Kind::diskAttachmentFailed,
                          "a staged disk is handed over read-only");
        described.overlayFd = disk.overlay.get();
    }
    described.access = (flags & O_ACCMODE) == O_RDONLY ? QemuConfig::Access::readOnly
                                                       : QemuConfig::Access::readWrite;
    described.medium =
        S_ISBLK(st.st_mode) ? QemuConfig::Medium::blockDevice : QemuConfig::Medium::imageFile;
    described.name = disk.name;
    return described;
}

// The disk's size as the VM is given it.
std::uint64_t sizeAtHandOver(const VMDisk& disk) {
    const std::optional<std::uint64_t> size = diskSize(disk.fd.get());
    if (!size)
        throw VMError(VMError::Kind::diskAttachmentFailed,
                      "cannot read the size of " + disk.name.toStdString());
    return *size;
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

bool QemuLauncher::hardwareVirtualization(const QByteArray& cpuinfo) {
#if defined(__x86_64__) || defined(__i386__)
    for (const QByteArray& line : cpuinfo.split('\n')) {
        if (!line.startsWith("flags"))
            continue;
        const qsizetype colon = line.indexOf(':');
        if (colon < 0)
            continue;
        const QList<QByteArray> flags = line.mid(colon + 1).simplified().split(' ');
        return flags.contains("vmx") || flags.contains("svm");
    }
    return false;
#else
    Q_UNUSED(cpuinfo);
    return true;
#endif
}

bool QemuLauncher::kvmUsable() {
    if (!deviceUsable("/dev/kvm"))
        return false;
    QFile cpuinfo(QStringLiteral("/proc/cpuinfo"));
    return cpuinfo.open(QIODevice::ReadOnly) && hardwareVirtualization(cpuinfo.readAll());
}
bool QemuLauncher::vhostVsockUsable() {
    return deviceUsable("/dev/vhost-vsock");
}

QemuConfig::Accel QemuLauncher::accelerator(bool kvmUsable, const QString& requested) {
    if (!kvmUsable || requested.compare(QLatin1String("tcg"), Qt::CaseInsensitive) == 0)
        return QemuConfig::Accel::tcg;
    return QemuConfig::Accel::kvm;
}

QemuConfig::Accel QemuLauncher::accelerator() {
    return accelerator(kvmUsable(), qEnvironmentVariable(acceleratorVariable));
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
    qemuConfig.accel = accelerator();
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

bool QemuLauncher::isStaged(const QString& name) const {
    for (const auto& [slot, disk] : diskSlots)
        if (disk.name == name)
            return disk.overlayFdset >= 0;
    return false;
}

QStringList QemuLauncher::diskNames() const {
    QStringList names;
    for (const auto& [slot, disk] : diskSlots)
        if (disk.plugged)
            names << disk.name;
    return names;
}

QCoro::Task<void> QemuLauncher::attachDisk(VMDisk disk) {
    QPointer self(this);
    if (!running || isStopped())
        throw VMError(VMError::Kind::vmNotRunning);
    const QemuConfig::Disk described = describeDisk(disk);
    const std::uint64_t size = sizeAtHandOver(disk);
    int slot = -1;
    for (int index = 0; index < QemuConfig::diskSlots; ++index) {
        const auto taken = diskSlots.find(index);
        if (taken != diskSlots.end() && taken->second.name == described.name)
            throw VMError(VMError::Kind::diskAttachmentFailed,
                          disk.name.toStdString() + " is attached already");
        if (taken == diskSlots.end() && slot < 0)
            slot = index;
    }
    if (slot < 0)
        throw VMError(
            VMError::Kind::diskAttachmentFailed,
            "no free slot: at most " + std::to_string(QemuConfig::diskSlots) + " disks at once");
    diskSlots[slot] = {described.name, -1};
    diskSlots[slot].described = described;
    int fdset = -1;
    int overlayFdset = -1;
    int nodesAdded = 0;
    std::optional<std::string> failure;
    try {
        // Arguments are built before each co_await: g++ 12 cannot keep a braced list across one.
        QJsonObject addFd;
        addFd.insert(QStringLiteral("opaque"), described.name);
        const QJsonObject added =
            co_await qmp.executeWithFd(QStringLiteral("add-fd"), addFd, disk.fd.get());
        fdset = added.value(QStringLiteral("fdset-id")).toInt(-1);
        if (fdset < 0)
            throw QemuError(QemuError::Kind::qmpFailed, "add-fd: no fd set in the reply");
        if (!self)
            throw VMError(VMError::Kind::vmNotRunning);
        diskSlots[slot].fdset = fdset;
        QString overlayFile;
        if (described.staged()) {
            QJsonObject addOverlay;
            addOverlay.insert(QStringLiteral("opaque"),
                              described.name + QStringLiteral("-overlay"));
            const QJsonObject overlayAdded = co_await qmp.executeWithFd(
                QStringLiteral("add-fd"), addOverlay, disk.overlay.get());
            if (!self)
                throw VMError(VMError::Kind::vmNotRunning);
            overlayFdset = overlayAdded.value(QStringLiteral("fdset-id")).toInt(-1);
            if (overlayFdset < 0)
                throw QemuError(QemuError::Kind::qmpFailed, "add-fd: no fd set in the reply");
            diskSlots[slot].overlayFdset = overlayFdset;
            overlayFile = QStringLiteral("/dev/fdset/%1").arg(overlayFdset);
        }
        const std::vector<QJsonObject> nodes =
            blockdevNodes(described, QStringLiteral("/dev/fdset/%1").arg(fdset), overlayFile);
        for (const QJsonObject& node : nodes) {
            co_await qmp.execute(QStringLiteral("blockdev-add"), node);
            if (!self)
                throw VMError(VMError::Kind::vmNotRunning);
            ++nodesAdded;
        }
        co_await qmp.execute(QStringLiteral("device_add"), diskDeviceOptions(described, slot));
        if (self)
            diskSlots[slot].plugged = true;
    } catch (const QemuError& error) {
        if (!self)
            throw;
        failure = error.what();
    }
    if (!failure) {
        if (self)
            held.hold(described.name, std::move(disk.fd), size);
        co_return;
    }
    // Nothing of a refused plug-in stays behind.
    diskSlots.erase(slot);
    Backend backend{described.name, fdset, overlayFdset};
    backend.topNode = nodesAdded == 2 || (nodesAdded == 1 && !described.staged());
    backend.cardNode = nodesAdded >= 1 && described.staged();
    co_await dropBackend(backend);
    throw VMError(VMError::Kind::diskAttachmentFailed, *failure);
}

QCoro::Task<void> QemuLauncher::detachDisk(QString name, std::chrono::milliseconds timeout) {
    QPointer self(this);
    auto found = std::find_if(diskSlots.begin(), diskSlots.end(),
                              [&](const auto& entry) { return entry.second.name == name; });
    if (found == diskSlots.end())
        co_return;
    const int slot = found->first;
    const Backend backend = backendOf(found->second);
    found->second.leaving = true;
    const QString id = QemuConfig::deviceId(name);
    deletedDevices.erase(id);
    QJsonObject device;
    device.insert(QStringLiteral("id"), id);
    co_await qmp.execute(QStringLiteral("device_del"), device);
    // The guest lets go of the device first; only then may its backend go.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (self && !deletedDevices.contains(id) && !isStopped() &&
           std::chrono::steady_clock::now() < deadline)
        co_await QCoro::sleepFor(std::chrono::milliseconds(20));
    if (!self)
        co_return;
    if (!deletedDevices.contains(id)) {
        if (isStopped())
            co_return;
        throw QemuError(QemuError::Kind::qmpFailed,
                        ("the guest did not release " + name).toStdString());
    }
    deletedDevices.erase(id);
    co_await dropBackend(backend);
    if (self) {
        diskSlots.erase(slot);
        held.release(name);
    }
}

QemuLauncher::Backend QemuLauncher::backendOf(const Plugged& disk) {
    Backend backend{disk.name, disk.fdset, disk.overlayFdset};
    // After a commit the device stands on the card's node and the overlay is gone.
    backend.topNode = !disk.committed;
    backend.cardNode = disk.overlayFdset >= 0 || disk.committed;
    return backend;
}

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

QCoro::Task<void> QemuLauncher::dropBackend(Backend backend) {
    QPointer self(this);
    // Top first: a backing node is deleted only once nothing stands on it.
    QStringList nodes;
    if (backend.topNode)
        nodes << QemuConfig::nodeName(backend.name);
    if (backend.cardNode)
        nodes << QemuConfig::cardNodeName(backend.name);
    for (const QString& name : nodes) {
        if (!self)
            co_return;
        QJsonObject node;
        node.insert(QStringLiteral("node-name"), name);
        try {
            co_await qmp.execute(QStringLiteral("blockdev-del"), node);
        } catch (const QemuError&) {
        }
    }
    for (const int fdset : {backend.fdset, backend.overlayFdset}) {
        if (!self || fdset < 0)
            continue;
        QJsonObject set;
        set.insert(QStringLiteral("fdset-id"), fdset);
        try {
            co_await qmp.execute(QStringLiteral("remove-fd"), set);
        } catch (const QemuError&) {
        }
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
