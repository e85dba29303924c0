#include "guest/qemu_command.h"

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

QString QemuConfig::agentPortName(uint32_t port) {
    return QStringLiteral("org.quorvale.agent.%1").arg(port);
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
    args << "-append" << QemuConfig::kernelCommandLine;
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

    for (std::size_t i = 0; i < config.disks.size(); ++i) {
        const auto& disk = config.disks[i];
        const bool readOnly = disk.access == QemuConfig::Access::readOnly;
        const bool blockDevice = disk.medium == QemuConfig::Medium::blockDevice;
        // auto-read-only=off: QEMU would otherwise open the set read-only first and reopen it
        // writable later, which needs a second, read-only fd in the set.
        args << "-add-fd" << QStringLiteral("fd=%1,set=%2").arg(disk.fd).arg(i);
        args << "-drive"
             << QStringLiteral(
                    "file=/dev/fdset/%1,if=none,id=disk%1,format=raw,readonly=%2,"
                    "auto-read-only=off,file.driver=%3,cache=%4,aio=threads,discard=unmap")
                    .arg(i)
                    .arg(readOnly ? "on" : "off")
                    .arg(blockDevice ? "host_device" : "file")
                    .arg(blockDevice ? "none" : "writeback");
        args << "-device" << virtio("virtio-blk") + QStringLiteral(",drive=disk%1").arg(i);
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

    args << "-qmp" << QStringLiteral("unix:%1,server=on,wait=off").arg(escaped(config.qmpSocket));
    return args;
}

}  // namespace quorvale::guest
