#pragma once
// Builds the description of one block device from sysfs (size, block size, removable flag,
// bus, model, devpath), from the udev properties given (ID_MODEL, ID_FS_TYPE, ID_FS_LABEL,
// ID_PART_ENTRY_TYPE, ...) and, where those are missing and the device node can be opened,
// from libblkid. A device that has vanished gives nothing.

#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>

#include "disk/disk_description.h"
#include "disk/disk_paths.h"

namespace quorvale::disk {

class SysfsBlockReader {
public:
    explicit SysfsBlockReader(DiskPaths paths);

    // Kernel names of every block device, sorted.
    QStringList blockDevices() const;
    // The description of the named device, or nothing when it is gone or the name is not a
    // plain kernel name.
    std::optional<DiskDescription> describe(const QString& name,
                                            const QMap<QString, QString>& properties = {}) const;

private:
    DiskPaths paths;
};

// Decodes udev's \xNN escapes (ID_MODEL_ENC, ID_FS_LABEL_ENC).
QByteArray decodeUdevEscapes(const QString& encoded);

}  // namespace quorvale::disk
