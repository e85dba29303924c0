#include "guest/qemu_command.h"

#include <QJsonDocument>

namespace quorvale::guest {

namespace {

#if defined(__aarch64__)
constexpr bool armHost = true;
#else
constexpr bool armHost = false;
#endif

// Virtio devices sit on PCI on both machine types we use.
QString virtio(const char* device) {
    return QStringLiteral("%1-pci").arg(QLatin1String(device));
}

// A value inside a QEMU option list: commas are doubled.
QString escaped(QString value) {
    return value.replace(QLatin1Char(','), QStringLiteral(",,"));
}

}  // namespace

QString QemuConfig::systemEmulator() {
    return armHost ? QStringLiteral("qemu-system-aarch64") : QStringLiteral("qemu-system-x86_64");
}

QString QemuConfig::defaultMachine() {
    return armHost ? QStringLiteral("virt") : QStringLiteral("q35");
}

QString QemuConfig::defaultKernelCommandLine(Accel accel) {
    QString line = QLatin1String(kernelCommandLineBase);
    if (accel == Accel::tcg && !armHost)
        line += QStringLiteral(" noapictimer");
    return line;
}

QString QemuConfig::agentPortName(uint32_t port) {
    return QStringLiteral("org.quorvale.agent.%1").arg(port);
}

QString QemuConfig::slotId(int index) {
    return QStringLiteral("slot%1").arg(index);
}

QString QemuConfig::nodeName(const QString& disk) {
    return QStringLiteral("disk-") + disk;
}

QString QemuConfig::deviceId(const QString& disk) {
    return QStringLiteral("blk-") + disk;
}

QString QemuConfig::cardNodeName(const QString& disk) {
    return QStringLiteral("card-") + disk;
}

QString QemuConfig::cardFileNodeName(const QString& disk) {
    return QStringLiteral("card-file-") + disk;
}

namespace {

// The raw node of a staged disk: named apart from the device's node, with a named file node so
// that it can be reopened writable. Without byte-range locks: the descriptor the node was opened
// with stays in its fd set (and in the app), so its read-only locks would outlive the reopen
// and refuse the commit its write lock. The card is held exclusively (helper) or by the app.
QJsonObject cardOptions(const QemuConfig::Disk& disk, const QString& filename, bool readOnly) {
    QemuConfig::Disk card = disk;
    card.access = readOnly ? QemuConfig::Access::readOnly : QemuConfig::Access::readWrite;
    card.overlayFd = -1;
    QJsonObject options = blockdevOptions(card, filename);
    QJsonObject file = options.value("file").toObject();
    file.insert("node-name", QemuConfig::cardFileNodeName(disk.name));
    file.insert("locking", "off");
    options.insert("file", file);
    options.insert("node-name", QemuConfig::cardNodeName(disk.name));
    return options;
}

}  // namespace

std::vector<QJsonObject> blockdevNodes(const QemuConfig::Disk& disk, const QString& filename,
                                       const QString& overlayFilename) {
    if (!disk.staged())
        return {blockdevOptions(disk, filename)};
    // The overlay is an ordinary file in the cache directory: page cache on, flushes kept, so
    // that what the guest flushed survives a crash of QEMU.
    const QJsonObject file{
        {"driver", "file"},
        {"filename", overlayFilename},
        {"aio", "threads"},
        {"auto-read-only", false},
    };
    const QJsonObject overlay{
        {"driver", "qcow2"},  {"node-name", QemuConfig::nodeName(disk.name)},
        {"read-only", false}, {"discard", "unmap"},
        {"file", file},       {"backing", QemuConfig::cardNodeName(disk.name)},
    };
    return {cardOptions(disk, filename, true), overlay};
}

QJsonObject writableCardOptions(const QemuConfig::Disk& disk, const QString& filename) {
    return cardOptions(disk, filename, false);
}

QJsonObject blockdevOptions(const QemuConfig::Disk& disk, const QString& filename) {
    const bool readOnly = disk.access == QemuConfig::Access::readOnly;
    const bool blockDevice = disk.medium == QemuConfig::Medium::blockDevice;
    const QJsonObject cache{{"direct", blockDevice}, {"no-flush", false}};
    // auto-read-only off: QEMU would otherwise open the set read-only first and reopen it
    // writable later, which needs a second, read-only fd in the set.
    const QJsonObject file{
        {"driver", blockDevice ? "host_device" : "file"},
        {"filename", filename},
        {"aio", "threads"},
        {"discard", "unmap"},
        {"cache", cache},
        {"read-only", readOnly},
        {"auto-read-only", false},
    };
    return QJsonObject{
        {"driver", "raw"},       {"node-name", QemuConfig::nodeName(disk.name)},
        {"read-only", readOnly}, {"discard", "unmap"},
        {"cache", cache},        {"file", file},
    };
}

QJsonObject diskDeviceOptions(const QemuConfig::Disk& disk, int slot) {
    // A card that goes fails writes with ENOSPC (its size drops to 0) or EIO. QEMU's default
    // pauses the whole VM on ENOSPC, so every call would wait out its timeout; the guest is
    // told of each failed read or write instead, and the agent answers with an error.
    return QJsonObject{
        {"driver", virtio("virtio-blk")},
        {"id", QemuConfig::deviceId(disk.name)},
        {"drive", QemuConfig::nodeName(disk.name)},
        {"serial", disk.name},
        {"bus", QemuConfig::slotId(slot)},
        {"write-cache", "on"},
        {"werror", "report"},
        {"rerror", "report"},
    };
}

QStringList qemuArguments(const QemuConfig& config) {
    QStringList args;
    // Nothing but what is listed here: no default NIC, display, serial, monitor or config file.
    args << "-nodefaults"
         << "-no-user-config"
         << "-nic"
         << "none"
         << "-display"
         << "none";
    args << "-sandbox"
         << "on,obsolete=deny,elevateprivileges=deny,spawn=deny,resourcecontrol=deny";
    args << "-machine" << config.machine;
    if (config.accel == QemuConfig::Accel::kvm)
        args << "-accel"
             << "kvm"
             << "-cpu"
             << "host";
    else
        args << "-accel"
             << "tcg"
             << "-cpu" << (armHost ? "max" : "qemu64");
    args << "-smp" << QString::number(QemuConfig::cpus);
    args << "-m" << QStringLiteral("%1M").arg(QemuConfig::memoryMiB);
    args << "-kernel" << config.kernel << "-initrd" << config.initramfs;  // plain paths: no list
    args << "-append"
         << (config.kernelCommandLine.isEmpty() ? QemuConfig::defaultKernelCommandLine(config.accel)
                                                : config.kernelCommandLine);
    // A guest panic (pvpanic) ends QEMU with a failure status; a reboot request ends it too.
    args << "-action"
         << "panic=exit-failure"
         << "-action"
         << "reboot=shutdown";

    args << "-chardev" << QStringLiteral("file,id=console,path=%1").arg(escaped(config.consoleLog));
    args << "-device" << virtio("virtio-serial") + ",id=serial";
    args << "-device"
         << "virtconsole,id=console0,chardev=console,bus=serial.0";

    args << "-object"
         << "rng-random,id=rng,filename=/dev/urandom";
    args << "-device" << virtio("virtio-rng") + ",rng=rng";
    args << "-device" << virtio("virtio-balloon");

    // Disks sit behind root ports so that each can be unplugged; ports need no I/O window.
    for (int slot = 0; slot < QemuConfig::diskSlots; ++slot)
        args << "-device"
             << QStringLiteral("pcie-root-port,id=%1,chassis=%2,io-reserve=0")
                    .arg(QemuConfig::slotId(slot))
                    .arg(slot + 1);
    for (std::size_t i = 0; i < config.disks.size(); ++i) {
        const auto& disk = config.disks[i];
        args << "-add-fd" << QStringLiteral("fd=%1,set=%2").arg(disk.fd).arg(i);
        QString overlayFile;
        if (disk.staged()) {
            const int set = QemuConfig::overlayFdset(static_cast<int>(i));
            args << "-add-fd" << QStringLiteral("fd=%1,set=%2").arg(disk.overlayFd).arg(set);
            overlayFile = QStringLiteral("/dev/fdset/%1").arg(set);
        }
        for (const QJsonObject& node :
             blockdevNodes(disk, QStringLiteral("/dev/fdset/%1").arg(i), overlayFile))
            args << "-blockdev"
                 << QString::fromUtf8(QJsonDocument(node).toJson(QJsonDocument::Compact));
        const QJsonObject device = diskDeviceOptions(disk, static_cast<int>(i));
        QString text = device.value("driver").toString();
        for (const char* key : {"id", "drive", "serial", "bus", "write-cache", "werror", "rerror"})
            text += QStringLiteral(",%1=%2").arg(QLatin1String(key), device.value(key).toString());
        args << "-device" << text;
    }

    args << "-device" << (armHost ? "pvpanic-pci" : "pvpanic");

    if (config.vsockCid) {
        args << "-device"
             << virtio("vhost-vsock") + QStringLiteral(",guest-cid=%1").arg(*config.vsockCid);
    } else {
        args << "-chardev"
             << QStringLiteral("socket,id=agent,path=%1,server=on,wait=off")
                    .arg(escaped(config.agentSocket));
        args << "-device"
             << QStringLiteral("virtserialport,id=agent0,chardev=agent,bus=serial.0,name=%1")
                    .arg(QemuConfig::agentPortName(config.agentPort));
    }

    if (!config.channelSecretFile.isEmpty())
        args << "-fw_cfg"
             << QStringLiteral("name=%1,file=%2")
                    .arg(QLatin1String(QemuConfig::channelSecretName),
                         escaped(config.channelSecretFile));

    args << "-qmp" << QStringLiteral("unix:%1,server=on,wait=off").arg(escaped(config.qmpSocket));
    return args;
}

}  // namespace quorvale::guest
