#pragma once
// Where the system's device nodes and sysfs live (tests point them at fake trees).

#include <QString>

namespace quorvale::disk {

struct DiskPaths {
    QString deviceDirectory = QStringLiteral("/dev");
    QString sysfsRoot = QStringLiteral("/sys");
};

}  // namespace quorvale::disk
