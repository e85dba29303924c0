#pragma once
// Value types of the application state: the setup phase, the browser's view mode and the modal
// alert with its identifier.

#include <QList>
#include <QMetaType>
#include <QString>

#include "model/device.h"
#include "model/file_item.h"

namespace quorvale::app {

// Where first-run setup stands. Two `failed` phases are equal when their messages are equal.
struct SetupPhase {
    enum class Kind { onboarding, installingHelper, ready, failed };

    Kind kind = Kind::onboarding;
    QString message;  // failed only

    static SetupPhase onboarding() { return {Kind::onboarding, {}}; }
    static SetupPhase installingHelper() { return {Kind::installingHelper, {}}; }
    static SetupPhase ready() { return {Kind::ready, {}}; }
    static SetupPhase failed(QString message) { return {Kind::failed, std::move(message)}; }

    bool operator==(const SetupPhase&) const = default;
};

enum class ViewMode { grid, list };

// "grid" or "list".
QString rawValue(ViewMode mode);
std::optional<ViewMode> viewModeFromRaw(const QString& raw);

// The modal confirmation or error sheet. id() tells sheets apart: "error-" + message, "delete",
// "eject-" + the device's id, "journal-" + the partition's id.
struct AppAlert {
    enum class Kind { error, deleteConfirmation, ejectConfirmation, journalRecovery };

    Kind kind = Kind::error;
    QString message;               // error; journalRecovery: what the health card says
    QList<model::FileItem> files;  // deleteConfirmation
    model::Device device;          // ejectConfirmation
    model::Partition partition;    // journalRecovery

    static AppAlert error(QString message);
    static AppAlert deleteConfirmation(QList<model::FileItem> files);
    static AppAlert ejectConfirmation(model::Device device);
    // A partition whose journal needs recovery: open it read-only, or repair and open it.
    static AppAlert journalRecovery(model::Partition partition, QString message);

    QString id() const;

    bool operator==(const AppAlert&) const = default;
};

}  // namespace quorvale::app

Q_DECLARE_METATYPE(quorvale::app::SetupPhase)
Q_DECLARE_METATYPE(quorvale::app::ViewMode)
Q_DECLARE_METATYPE(quorvale::app::AppAlert)
