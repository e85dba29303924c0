#include "model/media_type.h"

namespace quorvale::model {

QString rawValue(MediaType type) {
    switch (type) {
        case MediaType::sdCard:
            return QStringLiteral("sdCard");
        case MediaType::usbDrive:
            return QStringLiteral("usbDrive");
        case MediaType::unknown:
            break;
    }
    return QStringLiteral("unknown");
}

std::optional<MediaType> mediaTypeFromRaw(const QString& raw) {
    for (MediaType type : {MediaType::sdCard, MediaType::usbDrive, MediaType::unknown}) {
        if (rawValue(type) == raw)
            return type;
    }
    return std::nullopt;
}

}  // namespace quorvale::model
