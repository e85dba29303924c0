// QemuLauncher: disks plugged into the running VM and taken out again over QMP.

#include <qcoro/qcorotimer.h>
#include <QPointer>
#include <algorithm>

#include "guest/qemu_disk.h"
#include "guest/qemu_launcher.h"
#include "guest/vm_error.h"

namespace quorvale::guest {

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

}  // namespace quorvale::guest
