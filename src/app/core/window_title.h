#pragma once
// The main window's title: "Quorvale" with no partition selected; else the folder shown and
// the card it is on: "rootfs on sdcard.img" at the root, "summer — rootfs on sdcard.img" in
// /home/pi/Pictures/2024/summer. A partition without label is named by its kernel name; a
// device that is not (or no longer) listed is left out.

#include <QList>
#include <QString>

#include <optional>

#include "model/device.h"

namespace quorvale::app {

QString windowTitle(const std::optional<model::Partition>& partition,
                    const QList<model::Device>& devices, const QString& currentPath);

}  // namespace quorvale::app
