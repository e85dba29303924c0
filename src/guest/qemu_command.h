#pragma once
// The QEMU command line for the guest VM, built from plain values so it can be checked alone.
// Shape: 1 vCPU, 256 MiB, kernel + initramfs booted directly with a fixed command line, a virtio
// console into a log file, virtio-rng, virtio-balloon, a pvpanic device, vhost-vsock or a
// virtio-serial port bridged to a Unix socket, QMP on a Unix socket, the channel secret as a
// fw_cfg blob read from a file, and a row of PCIe slots (hot-pluggable root ports) that take one
// raw virtio-blk disk each: the disks known at boot in order, the others plugged in and out later
// over QMP with the same options. Each disk carries its host name as its serial. Hardening: no
// default devices, no network, seccomp sandbox on.

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <vector>

namespace quorvale::guest {

struct QemuConfig {
    enum class Accel { kvm, tcg };
    enum class Access { readWrite, readOnly };
    // A block device (card, drive) goes through QEMU's host_device driver and past the host's
    // page cache: no second copy of the card in host memory, and what the guest flushed is on
    // the card. A disk image file keeps the page cache, which every filesystem offers (tmpfs
    // has no direct I/O).
    enum class Medium { imageFile, blockDevice };
    struct Disk {
        int fd = -1;  // descriptor number as the QEMU process sees it
        Access access = Access::readWrite;
        Medium medium = Medium::imageFile;
        QString name;  // the host's whole-disk name: block node, device id and serial
        // A qcow2 overlay over the disk (descriptor number as QEMU sees it): the device writes
        // into it and the disk is its read-only backing node. -1: the disk is written directly.
        int overlayFd = -1;
        bool staged() const { return overlayFd >= 0; }
    };

    QString machine;  // e.g. "q35" on x86, "virt" on ARM
    Accel accel = Accel::tcg;
    QString kernel;
    QString initramfs;
    QString consoleLog;  // file the guest console is written to
    QString qmpSocket;
    std::vector<Disk> disks;
    std::optional<uint32_t> vsockCid;  // vhost-vsock when set
    QString agentSocket;               // virtio-serial bridge when vsockCid is unset
    uint32_t agentPort = 5000;
    QString kernelCommandLine;  // empty: defaultKernelCommandLine(accel)
    // A file holding this boot's channel secret, handed to the guest as the fw_cfg blob
    // `channelSecretName` (never on the command line, which every local user can read).
    QString channelSecretFile;
    static constexpr const char* channelSecretName = "opt/org.quorvale/channel-secret";

    // After the console, quiet and entropy settings: no_timer_check, because the IO-APIC timer
    // check fails under emulation on a busy host and the guest panics before it has booted;
    // cryptomgr.notests, because the crypto self-tests cost a distribution kernel a quarter of a
    // second under emulation. Under emulation also noapictimer: the local APIC timer's
    // calibration busy-waits a tenth of a second, and the HPET ticks as well for one CPU (under
    // KVM the calibration is skipped and the local timer is the cheaper one).
    static constexpr const char* kernelCommandLineBase =
        "console=hvc0 quiet random.trust_cpu=on no_timer_check cryptomgr.notests";
    static QString defaultKernelCommandLine(Accel accel);
    static constexpr int cpus = 1;
    static constexpr int memoryMiB = 256;
    // Root ports for disks: how many cards the VM can hold at once. Each one costs boot time
    // (the guest enumerates it), so only as many as people plug in at once.
    static constexpr int diskSlots = 4;

    // "qemu-system-x86_64" or "qemu-system-aarch64" for the host's architecture.
    static QString systemEmulator();
    // The machine type for the host's architecture.
    static QString defaultMachine();
    // Name of the virtio-serial port the agent serves on for `port`.
    static QString agentPortName(uint32_t port);
    // QEMU ids of slot `index` and of a disk's block node and device.
    static QString slotId(int index);
    static QString nodeName(const QString& disk);
    static QString deviceId(const QString& disk);
    // A staged disk's own nodes: the raw disk below the overlay, and its file node.
    static QString cardNodeName(const QString& disk);
    static QString cardFileNodeName(const QString& disk);
    // Fd set of boot disk `index`'s overlay (its disk's set is `index`).
    static int overlayFdset(int index) { return diskSlots + index; }
};

QStringList qemuArguments(const QemuConfig& config);

// The disk's block node over `filename` ("/dev/fdset/N"): raw format pinned, the host device
// driver past the page cache for a card, the file driver for an image, read-only when the disk
// is. The same object is the -blockdev of a boot disk and the arguments of "blockdev-add".
QJsonObject blockdevOptions(const QemuConfig::Disk& disk, const QString& filename);
// The nodes of a disk in the order they are added: the raw disk node, then for a staged disk
// the qcow2 overlay node over `overlayFilename` with the raw node (named cardNodeName, always
// read-only here) as its backing. The device is always plugged onto nodeName(disk.name).
std::vector<QJsonObject> blockdevNodes(const QemuConfig::Disk& disk, const QString& filename,
                                       const QString& overlayFilename = {});
// The staged disk's raw node made writable: the "blockdev-reopen" options that let a commit
// write the overlay into the disk.
QJsonObject writableCardOptions(const QemuConfig::Disk& disk, const QString& filename);
// The virtio-blk device on slot `slot` for the disk, as "device_add" arguments.
QJsonObject diskDeviceOptions(const QemuConfig::Disk& disk, int slot);

}  // namespace quorvale::guest
