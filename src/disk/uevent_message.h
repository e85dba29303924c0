#pragma once
// One device event: the kernel's uevent datagram ("add@/devices/...\0KEY=value\0...") or the
// same facts from the udev daemon, with the udev properties it carries.

#include <QMap>
#include <QString>

#include <cstddef>
#include <optional>

namespace quorvale::disk {

struct UeventMessage {
    QString action;   // "add", "remove", "change", ...
    QString devpath;  // "/devices/.../block/sdb/sdb1"
    QMap<QString, QString> properties;

    // Parses a kernel uevent datagram; nothing for anything else (such as udev's own
    // "libudev" datagrams or garbage).
    static std::optional<UeventMessage> parse(const char* data, std::size_t size);

    QString subsystem() const { return properties.value(QStringLiteral("SUBSYSTEM")); }
    // The kernel name: DEVNAME without "/dev/", else the last component of devpath.
    QString sysname() const;
    bool isWholeDisk() const { return properties.value(QStringLiteral("DEVTYPE")) == "disk"; }
};

}  // namespace quorvale::disk
