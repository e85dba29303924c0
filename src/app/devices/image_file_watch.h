#pragma once
// What the app does when the file behind an open disk image changes under it: an image deleted
// or moved away was detached by disk detection (and leaves like a pulled card); the banner says
// why. An image shortened while open is damaged: changes to its partitions are refused from
// then on, and the banner says so.

#include <QObject>

namespace quorvale::disk {
class DiskDetectionService;
}

namespace quorvale::app {

class AppState;

void followImageFiles(disk::DiskDetectionService& service, AppState& state, QObject* context);

}  // namespace quorvale::app
