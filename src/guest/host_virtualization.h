#pragma once
// What this host offers the VM: whether KVM can run our guest, whether vhost-vsock is there, and
// the accelerator chosen from them.

#include <QByteArray>
#include <QString>

#include "guest/qemu_command.h"

namespace quorvale::guest {

// /dev/kvm opens and the processor can run an ordinary guest under it.
bool kvmUsable();
// Whether the processor flags of /proc/cpuinfo (`cpuinfo`) offer hardware virtualisation.
// On x86, KVM without VT-x or AMD-V (a paravirtual backend such as PVM inside a cloud VM)
// cannot start our guest: QEMU aborts setting the vCPU's registers.
bool hardwareVirtualization(const QByteArray& cpuinfo);
bool vhostVsockUsable();
// KVM when usable, else TCG; QUORVALE_VM_ACCEL=tcg chooses TCG even where KVM is usable.
QemuConfig::Accel chooseAccelerator();
QemuConfig::Accel chooseAccelerator(bool kvm, const QString& requested);
inline constexpr const char* acceleratorVariable = "QUORVALE_VM_ACCEL";

}  // namespace quorvale::guest
