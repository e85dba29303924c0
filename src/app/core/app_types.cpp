#include "app/core/app_types.h"

namespace quorvale::app {

QString rawValue(ViewMode mode) {
    return mode == ViewMode::grid ? QStringLiteral("grid") : QStringLiteral("list");
}

std::optional<ViewMode> viewModeFromRaw(const QString& raw) {
    if (raw == QLatin1String("grid"))
        return ViewMode::grid;
    if (raw == QLatin1String("list"))
        return ViewMode::list;
    return std::nullopt;
}

AppAlert AppAlert::error(QString message) {
    AppAlert alert;
    alert.kind = Kind::error;
    alert.message = std::move(message);
    return alert;
}

AppAlert AppAlert::deleteConfirmation(QList<model::FileItem> files) {
    AppAlert alert;
    alert.kind = Kind::deleteConfirmation;
    alert.files = std::move(files);
    return alert;
}

AppAlert AppAlert::ejectConfirmation(model::Device device) {
    AppAlert alert;
    alert.kind = Kind::ejectConfirmation;
    alert.device = std::move(device);
    return alert;
}

AppAlert AppAlert::journalRecovery(model::Partition partition, QString message) {
    AppAlert alert;
    alert.kind = Kind::journalRecovery;
    alert.partition = std::move(partition);
    alert.message = std::move(message);
    return alert;
}

QString AppAlert::id() const {
    switch (kind) {
        case Kind::error:
            return QStringLiteral("error-") + message;
        case Kind::deleteConfirmation:
            return QStringLiteral("delete");
        case Kind::ejectConfirmation:
            return QStringLiteral("eject-") + device.id;
        case Kind::journalRecovery:
            return QStringLiteral("journal-") + partition.id;
    }
    return {};
}

}  // namespace quorvale::app
