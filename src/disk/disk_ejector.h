#pragma once
// Ejects a whole disk by its BSD name. Implemented by the privileged helper client
// ("eject_disk") for real disks and by the disk-image registry for images (detach).

#include <qcoro/qcorotask.h>
#include <QString>

namespace quorvale::disk {

class DiskEjector {
public:
    virtual ~DiskEjector() = default;
    // Completes when the disk is gone; throws quorvale::Error (DiskError) when refused.
    virtual QCoro::Task<void> ejectDisk(QString bsdName) = 0;
};

}  // namespace quorvale::disk
