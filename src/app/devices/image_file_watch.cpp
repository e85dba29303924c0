#include "app/devices/image_file_watch.h"

#include <QFileInfo>

#include "app/core/app_state.h"
#include "disk/disk_detection_service.h"

namespace quorvale::app {

void followImageFiles(disk::DiskDetectionService& service, AppState& state, QObject* context) {
    QObject::connect(&service, &disk::DiskDetectionService::imageFileGone, context,
                     [&state](const QString&, const QString& path) {
                         state.showErrorBanner(
                             QStringLiteral("The disk image “%1” was deleted or moved away while "
                                            "open. It was detached.")
                                 .arg(QFileInfo(path).fileName()));
                     });
    QObject::connect(&service, &disk::DiskDetectionService::imageFileShortened, context,
                     [&state](const QString& disk, const QString& path) {
                         const QString message = QStringLiteral(
                                                     "The disk image “%1” was shortened while open "
                                                     "and is damaged. Changes to it are refused.")
                                                     .arg(QFileInfo(path).fileName());
                         state.refuseChanges(disk, message);
                         state.showErrorBanner(message);
                     });
}

}  // namespace quorvale::app
