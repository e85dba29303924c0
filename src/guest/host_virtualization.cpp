#include "guest/host_virtualization.h"

#include <fcntl.h>
#include <unistd.h>

#include <QFile>

namespace quorvale::guest {

namespace {

bool deviceUsable(const char* path) {
    const int fd = ::open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

}  // namespace

bool hardwareVirtualization(const QByteArray& cpuinfo) {
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

bool kvmUsable() {
    if (!deviceUsable("/dev/kvm"))
        return false;
    QFile cpuinfo(QStringLiteral("/proc/cpuinfo"));
    return cpuinfo.open(QIODevice::ReadOnly) && hardwareVirtualization(cpuinfo.readAll());
}

bool vhostVsockUsable() {
    return deviceUsable("/dev/vhost-vsock");
}

QemuConfig::Accel chooseAccelerator(bool kvm, const QString& requested) {
    if (!kvm || requested.compare(QLatin1String("tcg"), Qt::CaseInsensitive) == 0)
        return QemuConfig::Accel::tcg;
    return QemuConfig::Accel::kvm;
}

QemuConfig::Accel chooseAccelerator() {
    return chooseAccelerator(kvmUsable(), qEnvironmentVariable(acceleratorVariable));
}

}  // namespace quorvale::guest
