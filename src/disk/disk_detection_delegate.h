#pragma once
// Receiver of disk events from DiskDetectionService. Both callbacks run on the GUI thread and
// may suspend; the service starts each one and does not wait for it to finish.

#include <qcoro/qcorotask.h>
#include <QString>

#include "model/device.h"

namespace quorvale::disk {

class DiskDetectionDelegate {
public:
    virtual ~DiskDetectionDelegate() = default;
    // A whole disk was accepted, or a partition was added to a known disk.
    virtual QCoro::Task<void> deviceUpdated(model::Device device) = 0;
    // A whole disk disappeared.
    virtual QCoro::Task<void> deviceRemoved(QString bsdName) = 0;
};

}  // namespace quorvale::disk
