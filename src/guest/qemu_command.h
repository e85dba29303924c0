#pragma once
// The QEMU command line for the guest VM, built from plain values so it can be checked alone.
// Shape: 1 vCPU, 256 MiB, kernel + initramfs booted directly with a fixed command line, a virtio
// console into a log file, virtio-rng, virtio-balloon, one raw virtio-blk per disk fd in order,
// a pvpanic device, vhost-vsock or a virtio-serial port bridged to a Unix socket, QMP on a Unix
// socket. Hardening: no default devices, no network, seccomp sandbox on.

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

    static constexpr const char* kernelCommandLine = "console=hvc0 quiet random.trust_cpu=on";
    static constexpr int cpus = 1;
    static constexpr int memoryMiB = 256;

    // "qemu-system-x86_64" or "qemu-system-aarch64" for the host's architecture.
    static QString systemEmulator();
    // The machine type for the host's architecture.
    static QString defaultMachine();
    // Name of the virtio-serial port the agent serves on for `port`.
    static QString agentPortName(uint32_t port);
};

QStringList qemuArguments(const QemuConfig& config);

}  // namespace quorvale::guest
