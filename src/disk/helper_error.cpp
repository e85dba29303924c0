#include "disk/helper_error.h"

namespace quorvale::disk {

HelperError::HelperError(Kind kind, QString payload)
    : Error(describe(kind, payload).toStdString()), kind(kind), payload(std::move(payload)) {}

QString HelperError::describe(Kind kind, const QString& payload) {
    switch (kind) {
        case Kind::invalidBSDName:
            return QStringLiteral("Invalid BSD device name: ") + payload;
        case Kind::openFailed:
            return QStringLiteral("Failed to open disk: ") + payload;
        case Kind::requiresApproval:
            return QStringLiteral("Helper requires approval: enable quorvale-helper.socket");
        case Kind::unknownStatus:
            return QStringLiteral("Unknown helper status");
        case Kind::connectionFailed:
            return QStringLiteral("Failed to connect to privileged helper");
        case Kind::timeout:
            return QStringLiteral("Helper did not respond in time");
        case Kind::accessDenied:
            return QStringLiteral("Full Disk Access is required to read raw SD card devices");
        case Kind::ejectFailed:
            return QStringLiteral("Failed to eject disk: ") + payload;
    }
    return {};
}

}  // namespace quorvale::disk
