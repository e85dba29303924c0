#include "mount/guest_mount.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QtCore/QCryptographicHash>
#include <QtCore/QDir>
#include <QtCore/QFileInfo>
#include <QtCore/QPointer>
#include <QtCore/QProcess>
#include <QtCore/QStandardPaths>

#include <chrono>

#include <qcoro/qcoroprocess.h>
#include <qcoro/qcorotimer.h>

#include "guest/vsock_transport.h"
#include "mount/fuse_bridge.h"
#include "mount/guest_attributes.h"
#include "mount/guest_filesystem.h"
#include "rpc/device_name.h"

namespace quorvale::mount {

using namespace std::chrono_literals;

std::optional<QString> mountPointProblem(const QString& path) {
    const QByteArray bytes = QFile::encodeName(path);
    struct stat st {};
    if (::lstat(bytes.constData(), &st) != 0)
        return path + QStringLiteral(" does not exist: make an empty folder to mount on");
    if (!S_ISDIR(st.st_mode))
        return path + QStringLiteral(" is not a folder");
    if (st.st_uid != ::getuid())
        return path + QStringLiteral(" is not your folder: mount on an empty folder you own");
    struct stat parent {};
    const QByteArray above = QFile::encodeName(QFileInfo(path).absolutePath());
    if (::stat(above.constData(), &parent) == 0 && parent.st_dev != st.st_dev &&
        QFileInfo(path).absoluteFilePath() != QStringLiteral("/"))
        return path + QStringLiteral(" is a mount point already");
    if (!QDir(path).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System))
        return path + QStringLiteral(" is not empty: mount on an empty folder");
    return std::nullopt;
}

QString controlSocketPath(const QString& mountPoint) {
    QString base = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (base.isEmpty())
        base = QDir::tempPath() + QStringLiteral("/quorvale-") + QString::number(::getuid());
    const QString canonical = QFileInfo(mountPoint).absoluteFilePath();
    const auto hash =
        QCryptographicHash::hash(QFile::encodeName(canonical), QCryptographicHash::Sha256)
            .toHex()
            .left(32);
    return base + QStringLiteral("/quorvale/mounts/") + QString::fromLatin1(hash) +
           QStringLiteral(".sock");
}

GuestMount::GuestMount(guest::VsockTransport& transport, Options options)
    : transport_(transport), options_(std::move(options)) {}

GuestMount::~GuestMount() {
    bridge_.reset();  // stops reading before the filesystem goes
}

QCoro::Task<void> GuestMount::start() {
    if (const auto problem = mountPointProblem(options_.mountPoint))
        throw MountError(problem->toStdString());
    filesystem_ = std::make_unique<GuestFilesystem>(
        transport_, FilesystemOptions{options_.partition.toStdString(), options_.readOnly});
    connect(filesystem_.get(), &GuestFilesystem::channelLost, this, &GuestMount::lost);
    try {
        co_await filesystem_->prepare();
    } catch (const FilesystemError& e) {
        throw MountError("cannot read the root of " + options_.partition.toStdString() + ": " +
                         std::strerror(e.error));
    }
    bridge_ = std::make_unique<FuseBridge>(*filesystem_);
    try {
        bridge_->mount({QFile::encodeName(options_.mountPoint).toStdString(), options_.readOnly});
    } catch (const std::runtime_error& e) {
        bridge_.reset();
        throw MountError(e.what());
    }
    QPointer<GuestMount> self(this);
    bridge_->start([self] {
        QMetaObject::invokeMethod(
            self.data(),
            [self] {
                if (self && !self->ended_) {
                    self->ended_ = true;
                    emit self->ended();
                }
            },
            Qt::QueuedConnection);
    });
}

QCoro::Task<bool> GuestMount::unmount(QString* why) {
    if (ended_)
        co_return true;
    co_await filesystem_->settle();
    // Run apart: the kernel may ask this process about the mount while it unmounts.
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("fusermount3"), {QStringLiteral("-u"), options_.mountPoint});
    co_await qCoro(process).waitForFinished(-1);
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        const QString output = QString::fromLocal8Bit(process.readAll()).trimmed();
        if (why)
            *why = output.contains(QStringLiteral("busy"))
                       ? options_.mountPoint +
                             QStringLiteral(" is busy: a program has a file or folder open there")
                       : options_.mountPoint + QStringLiteral(": ") +
                             (output.isEmpty() ? QStringLiteral("cannot unmount") : output);
        co_return false;
    }
    for (int waited = 0; waited < 200 && !ended_; ++waited)
        co_await QCoro::sleepFor(10ms);
    co_return true;
}

void GuestMount::detach() {
    if (bridge_)
        bridge_->detach();
}

QCoro::Task<std::optional<QString>> GuestMount::finish() {
    QPointer<GuestMount> self(this);
    if (!filesystem_)
        co_return std::nullopt;
    co_await filesystem_->settle();
    // Answers still due come quickly: the kernel no longer waits for them.
    for (int waited = 0; waited < 150 && self && filesystem_->requestsInFlight() > 0; ++waited)
        co_await QCoro::sleepFor(20ms);
    if (!self)
        co_return std::nullopt;
    if (bridge_)
        bridge_->stop();
    if (filesystem_->isLost())
        co_return QStringLiteral("the card was lost before it could be synced");
    const auto disk = rpc::wholeDiskName(options_.partition.toStdString());
    try {
        rpc::Params params;
        if (disk)
            params["disk"] = *disk;
        co_await transport_.send("sync", std::move(params), std::chrono::seconds(120));
    } catch (const std::exception& e) {
        co_return QStringLiteral("syncing %1 failed: %2").arg(options_.partition, e.what());
    }
    co_return std::nullopt;
}

void GuestMount::lose() {
    if (filesystem_)
        filesystem_->lose();
}

bool GuestMount::isLost() const {
    return filesystem_ && filesystem_->isLost();
}

}  // namespace quorvale::mount
