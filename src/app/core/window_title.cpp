#include "app/core/window_title.h"

#include "app/browser/browser_paths.h"
#include "model/display_format.h"

namespace quorvale::app {

QString windowTitle(const std::optional<model::Partition>& partition,
                    const QList<model::Device>& devices, const QString& currentPath) {
    if (!partition)
        return QStringLiteral("Quorvale");
    const QString partitionName =
        partition->label && !partition->label->isEmpty() ? *partition->label : partition->bsdName;
    QString card = partitionName;
    for (const model::Device& device : devices) {
        for (const model::Partition& candidate : device.partitions) {
            if (candidate.id == partition->id && !device.name.isEmpty())
                card = QStringLiteral("%1 on %2").arg(partitionName, device.name);
        }
    }
    const QList<PathComponent> crumbs = breadcrumb(currentPath);
    if (crumbs.size() <= 1)
        return card;
    return QStringLiteral("%1 — %2").arg(model::readableName(crumbs.last().name), card);
}

}  // namespace quorvale::app
